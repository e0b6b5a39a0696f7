// A blocking loopback client of the server's TCP protocol: messages framed by one
// length byte each way, and a wait for the next whole message with a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace kassiro::testing {

// A TCP socket connected to the loopback port, without Nagle's delay; with rcvBuf > 0
// its receive buffer is made that small first (a client meant to fall behind). -1 when
// the connection failed. With `from` (e.g. "127.0.0.2") it connects from that loopback
// address, acting as another host.
inline int ConnectLoopback(std::uint16_t port, int rcvBuf = 0, const char* from = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (from != nullptr) {
    sockaddr_in src{};
    src.sin_family = AF_INET;
    if (::inet_pton(AF_INET, from, &src.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&src), sizeof src) != 0) {
      ::close(fd);
      return -1;
    }
  }
  if (rcvBuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Writes every byte on fd; false when the connection failed first.
inline bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Waits until the peer has acknowledged every byte sent on fd (its send queue is empty),
// so that the next write travels in a segment of its own; false after the wait.
inline bool WaitAcknowledged(int fd, std::chrono::milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  int queued = 0;
  while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return queued == 0;
}

class TcpClient {
 public:
  using Clock = std::chrono::steady_clock;
  // Generous: every wait ends as soon as what it waits for has come.
  static constexpr std::chrono::milliseconds DefaultWait{20000};

  explicit TcpClient(std::uint16_t port) : fd_(ConnectLoopback(port)) {
    if (fd_ < 0) throw std::runtime_error("connect failed");
  }
  ~TcpClient() { Close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // One message (head and text), framed with its length byte.
  bool Send(std::string_view msg) {
    if (msg.size() > 255) return false;
    return SendRaw(std::string(1, static_cast<char>(msg.size())) + std::string(msg));
  }

  // Bytes exactly as given, in one write.
  bool SendRaw(std::string_view bytes) { return SendAll(fd_, bytes); }

  // Waits until the peer has acknowledged every byte sent, so that the next write
  // travels in a segment of its own.
  bool WaitSent(std::chrono::milliseconds wait = DefaultWait) { return WaitAcknowledged(fd_, wait); }

  // The next whole message without its length byte; nothing if none is complete
  // before the deadline or the connection ends.
  std::optional<std::string> Next(std::chrono::milliseconds wait = DefaultWait) {
    const auto until = Clock::now() + wait;
    for (;;) {
      if (auto msg = TakeMessage()) return msg;
      if (!Fill(until)) return std::nullopt;
    }
  }

  // True when no byte, whole or partial message, is waiting right now.
  bool NothingWaiting() {
    if (!buffer_.empty()) return false;
    char c;
    return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Ends the sending side only (the peer reads the end of the stream); what the peer
  // still sends can be read until it closes too.
  void ShutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  }

  // Closes with a reset, as a killed program's socket with unread data does: whatever
  // is still on its way is thrown away.
  void Abort() {
    if (fd_ < 0) return;
    const linger reset{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    Close();
  }

 private:
  std::optional<std::string> TakeMessage() {
    if (buffer_.empty()) return std::nullopt;
    const std::size_t len = static_cast<std::uint8_t>(buffer_[0]);
    if (buffer_.size() < 1 + len) return std::nullopt;
    std::string msg = buffer_.substr(1, len);
    buffer_.erase(0, 1 + len);
    return msg;
  }

  // Reads what has come, waiting at most until the deadline; false on time-out or end.
  bool Fill(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0 || fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
    char buf[512];
    const auto n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buffer_;  // bytes received and not yet handed out
};

}  // namespace kassiro::testing
