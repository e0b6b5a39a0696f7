#include "platform/StopEvents.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <system_error>
#include <thread>
#include <utility>

namespace kassiro::platform {

namespace {

sigset_t SignalsOf(TStopEventKinds kinds) {
  sigset_t set;
  sigemptyset(&set);
  for (const TStopEvent kind : kinds) {
    switch (kind) {
      case TStopEvent::Close:
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        break;
      case TStopEvent::Restart:
        sigaddset(&set, SIGHUP);
        break;
      case TStopEvent::Report:
        sigaddset(&set, SIGUSR1);
        break;
      case TStopEvent::Pause:  // only a service manager pauses, and systemd does not
        break;
    }
  }
  return set;
}

TStopEvent EventOf(int sig) {
  if (sig == SIGHUP) return TStopEvent::Restart;
  if (sig == SIGUSR1) return TStopEvent::Report;
  return TStopEvent::Close;
}

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

void HoldStopEvents(TStopEventKinds kinds) {
  const sigset_t set = SignalsOf(kinds);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseStopEvents(TStopEventKinds kinds) {
  const sigset_t set = SignalsOf(kinds);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void RaiseStopEvent(TStopEvent event) {
  switch (event) {
    case TStopEvent::Close: ::kill(::getpid(), SIGTERM); break;
    case TStopEvent::Restart: ::kill(::getpid(), SIGHUP); break;
    case TStopEvent::Report: ::kill(::getpid(), SIGUSR1); break;
    case TStopEvent::Pause: break;  // no signal stands for it
  }
}

TStopNotice WaitForStopEvent(TStopEventKinds kinds) {
  const sigset_t set = SignalsOf(kinds);
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  return {EventOf(sig), sig};
}

// The signals are read from a signalfd, so no handler ever interrupts a thread; a second
// descriptor (an eventfd) tells the reading thread to end.
struct TStopEvents::TImpl {
  int Signals = -1;
  int Quit = -1;
  THandler OnEvent;
  std::thread Reader;

  ~TImpl() {
    CloseFd(Signals);
    CloseFd(Quit);
  }

  void Read() {
    for (;;) {
      pollfd p[2] = {{Signals, POLLIN, 0}, {Quit, POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents != 0) return;
      signalfd_siginfo info{};
      while (::read(Signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        OnEvent(EventOf(static_cast<int>(info.ssi_signo)));
      }
    }
  }
};

TStopEvents::TStopEvents(TStopEventKinds kinds, THandler onEvent) : FImpl(std::make_unique<TImpl>()) {
  const sigset_t set = SignalsOf(kinds);
  FImpl->OnEvent = std::move(onEvent);
  FImpl->Signals = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (FImpl->Signals < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  FImpl->Quit = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FImpl->Quit < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  // The reader holds them too (it inherits this thread's mask, which must hold them):
  // the signalfd alone takes them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  FImpl->Reader = std::thread([impl = FImpl.get()] { impl->Read(); });
}

TStopEvents::~TStopEvents() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(FImpl->Quit, &one, sizeof one);
  FImpl->Reader.join();
}

}  // namespace kassiro::platform
