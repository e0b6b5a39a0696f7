#pragma once
// A TCP client connection for a program that waits on it beside a wake event (the
// bridge's link to the server): connect by host name within a time, send all of a
// buffer, receive what comes while the event may interrupt the wait. The connection
// keeps itself alive, so a peer that vanished (its PC switched off) shows within some
// 60 s, and sends small messages at once.
//
// A second platform provides the class over its own sockets (Winsock on Windows).
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/WakeEvent.h"

namespace kassiro::platform {

// What a receive brought: bytes; or the peer closed (Closed); or it failed (Error); or
// none of them (the time ran out, or the event was set: Woken).
struct TTcpRead {
  std::size_t Bytes = 0;
  bool Closed = false;
  bool Woken = false;
  std::error_code Error;
};

class TTcpClient {
 public:
  // A connection, or why there is none: the host was not found (Error is the resolver's
  // text), or no address took the connection (the last reason: the system's text,
  // "timed out" or "stopped" when wake was set).
  struct TConnected {
    std::unique_ptr<TTcpClient> Client;
    bool Found = true;
    std::string Error;
  };
  static TConnected Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                            TWakeEvent& wake);

  ~TTcpClient();
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;

  // Sends all of bytes (waiting while the system's buffer is full); the error, if any.
  std::error_code SendAll(std::string_view bytes);
  // Waits up to timeout for bytes, the peer's close, a failure or wake, and reads.
  TTcpRead Receive(std::span<char> into, std::chrono::milliseconds timeout, TWakeEvent& wake);

 private:
  struct TNative;
  explicit TTcpClient(std::unique_ptr<TNative> native);
  std::unique_ptr<TNative> FNative;
};

}  // namespace kassiro::platform
