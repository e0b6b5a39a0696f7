#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/PosixWakeEvent.h"
#include "platform/TcpClient.h"

namespace kassiro::platform {

namespace {

std::error_code Errno(int e) { return {e, std::generic_category()}; }

// A dead peer (its PC switched off) shows as a dead connection within some 60 s.
void KeepAlive(int fd) {
  const int on = 1, idle = 30, interval = 10, count = 3;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

struct TTcpClient::TNative {
  int Fd = -1;
  explicit TNative(int fd) : Fd(fd) {}
  ~TNative() {
    if (Fd >= 0) ::close(Fd);
  }
  TNative(const TNative&) = delete;
  TNative& operator=(const TNative&) = delete;
};

TTcpClient::TTcpClient(std::unique_ptr<TNative> native) : FNative(std::move(native)) {}

TTcpClient::~TTcpClient() = default;

TTcpClient::TConnected TTcpClient::Connect(const std::string& host, std::uint16_t port,
                                           std::chrono::milliseconds timeout, TWakeEvent& wake) {
  TConnected out;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    out.Found = false;
    out.Error = ::gai_strerror(rc);
    return out;
  }
  out.Error = "no address";
  for (addrinfo* a = found; a != nullptr && !out.Client; a = a->ai_next) {
    auto native = std::make_unique<TNative>(
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    const int fd = native->Fd;
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      out.Error = std::strerror(errno);
      continue;
    }
    pollfd p[2] = {{fd, POLLOUT, 0}, {wake.FNative->Fd, POLLIN, 0}};
    const int n = ::poll(p, 2, static_cast<int>(timeout.count()));
    if (n <= 0 || !(p[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      out.Error = n == 0 ? "timed out" : "stopped";
      continue;
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      out.Error = std::strerror(err);
      continue;
    }
    KeepAlive(fd);
    out.Client.reset(new TTcpClient(std::move(native)));
  }
  ::freeaddrinfo(found);
  return out;
}

std::error_code TTcpClient::SendAll(std::string_view bytes) {
  const int fd = FNative->Fd;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 1000);
      continue;
    }
    if (n < 0) return Errno(errno);
    if (n == 0) return Errno(EPIPE);
    at += static_cast<std::size_t>(n);
  }
  return {};
}

TTcpRead TTcpClient::Receive(std::span<char> into, std::chrono::milliseconds timeout, TWakeEvent& wake) {
  TTcpRead out;
  const TSocketReady ready = WaitWithEvent(FNative->Fd, false, wake.FNative->Fd, timeout);
  out.Woken = ready.Woken;
  if (ready.Error) {
    out.Error = ready.Error;
    return out;
  }
  if (!ready.Readable) return out;
  const ssize_t n = ::recv(FNative->Fd, into.data(), into.size(), 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return out;
  if (n < 0) out.Error = Errno(errno);
  else if (n == 0) out.Closed = true;
  else out.Bytes = static_cast<std::size_t>(n);
  return out;
}

}  // namespace kassiro::platform
