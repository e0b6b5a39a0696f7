#pragma once
// A wake event: one thread waits on it (alone, or beside a socket) and any other thread
// sets it, to hand over new work or to tell the waiter to stop. It stays set until the
// waiter clears it, so a set that comes before the wait is not lost.
//
// A second platform provides the class over its own event object (an event HANDLE, and
// WSAEventSelect for the socket, on Windows).
#include <chrono>
#include <cstdint>
#include <memory>
#include <system_error>

namespace kassiro::platform {

// A socket that a library made and hands out (libmosquitto's): the system's handle.
using TNativeSocket = std::intptr_t;

// What ended a wait beside a socket: the socket is ready as asked, the event was set, the
// time ran out (all false), or the system refused the wait (Error).
struct TSocketReady {
  bool Readable = false;  // also when the peer closed or the socket failed: a read says which
  bool Writable = false;
  bool Woken = false;
  std::error_code Error;
};

class TWakeEvent {
 public:
  TWakeEvent();  // throws std::system_error
  ~TWakeEvent();
  TWakeEvent(const TWakeEvent&) = delete;
  TWakeEvent& operator=(const TWakeEvent&) = delete;

  void Set();
  void Clear();
  // Waits up to timeout for the event; true when it is set.
  bool Wait(std::chrono::milliseconds timeout);
  // Waits up to timeout for the socket to be readable (or writable, when asked) or for
  // the event.
  TSocketReady WaitBeside(TNativeSocket socket, bool wantWrite, std::chrono::milliseconds timeout);

 private:
  friend class TTcpClient;  // waits on its own socket beside the event
  struct TNative;
  std::unique_ptr<TNative> FNative;
};

}  // namespace kassiro::platform
