#pragma once
// Inside the platform library only: the wake event's descriptor, for the waits of the
// other POSIX implementation files.

#include <chrono>

#include "platform/WakeEvent.h"

namespace kassiro::platform {

struct TWakeEvent::TNative {
  int Fd = -1;  // an eventfd
};

// Waits up to timeout for fd (readable, or writable when asked) or for eventFd.
TSocketReady WaitWithEvent(int fd, bool wantWrite, int eventFd, std::chrono::milliseconds timeout);

}  // namespace kassiro::platform
