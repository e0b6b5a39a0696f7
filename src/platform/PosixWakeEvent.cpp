#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/PosixWakeEvent.h"

namespace kassiro::platform {

TWakeEvent::TWakeEvent() : FNative(std::make_unique<TNative>()) {
  FNative->Fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FNative->Fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd failed");
}

TWakeEvent::~TWakeEvent() { ::close(FNative->Fd); }

void TWakeEvent::Set() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(FNative->Fd, &one, sizeof one);
}

void TWakeEvent::Clear() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(FNative->Fd, &count, sizeof count);
}

bool TWakeEvent::Wait(std::chrono::milliseconds timeout) {
  pollfd p{FNative->Fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

TSocketReady TWakeEvent::WaitBeside(TNativeSocket socket, bool wantWrite, std::chrono::milliseconds timeout) {
  return WaitWithEvent(static_cast<int>(socket), wantWrite, FNative->Fd, timeout);
}

TSocketReady WaitWithEvent(int fd, bool wantWrite, int eventFd, std::chrono::milliseconds timeout) {
  pollfd p[2] = {{fd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {eventFd, POLLIN, 0}};
  TSocketReady ready;
  const int n = ::poll(p, 2, static_cast<int>(timeout.count()));
  if (n < 0 && errno != EINTR) ready.Error = std::error_code(errno, std::generic_category());
  if (n <= 0) return ready;
  ready.Readable = (p[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  ready.Writable = (p[0].revents & POLLOUT) != 0;
  ready.Woken = p[1].revents != 0;
  return ready;
}

}  // namespace kassiro::platform
