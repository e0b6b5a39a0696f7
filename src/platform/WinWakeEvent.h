#pragma once
// Inside the platform library only: the wake event's handle, for the waits of the other
// Windows implementation files, and the sockets' one-time start.

#include <winsock2.h>
#include <windows.h>

#include <chrono>

#include "platform/WakeEvent.h"

namespace kassiro::platform {

struct TWakeEvent::TNative {
  HANDLE Event = nullptr;  // manual reset: stays set until cleared
};

// Waits up to timeout for the socket (readable, or writable when asked; a connect that
// ended counts as writable) or for the event. Leaves the socket non-blocking.
TSocketReady WaitWithEvent(SOCKET socket, bool wantWrite, HANDLE event, std::chrono::milliseconds timeout);

// Starts Windows Sockets once for the process; the error when it cannot.
std::error_code StartSockets();

}  // namespace kassiro::platform
