#include "server/StopSignals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kassiro {

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void HoldStopSignals() {
  const sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int OpenStopSignalFd() {
  const sigset_t set = StopSignalSet();
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  return fd;
}

int TakeStopSignal(int fd) {
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t n = ::read(fd, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

void ReleaseStopSignals() {
  const sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace kassiro
