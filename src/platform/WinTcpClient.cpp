#include "platform/TcpClient.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include "platform/WinText.h"
#include "platform/WinWakeEvent.h"

namespace kassiro::platform {

namespace {

std::error_code SocketError(int e) { return WindowsError(static_cast<unsigned long>(e)); }

// A dead peer (its PC switched off) shows as a dead connection within some 60 s.
void KeepAlive(SOCKET s) {
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  tcp_keepalive keep{};
  keep.onoff = 1;
  keep.keepalivetime = 30000;
  keep.keepaliveinterval = 10000;  // Windows probes ten times before it gives up
  DWORD returned = 0;
  if (::WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr, nullptr) != 0)
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace

struct TTcpClient::TNative {
  SOCKET Socket = INVALID_SOCKET;
  explicit TNative(SOCKET s) : Socket(s) {}
  ~TNative() {
    if (Socket != INVALID_SOCKET) ::closesocket(Socket);
  }
  TNative(const TNative&) = delete;
  TNative& operator=(const TNative&) = delete;
};

TTcpClient::TTcpClient(std::unique_ptr<TNative> native) : FNative(std::move(native)) {}

TTcpClient::~TTcpClient() = default;

TTcpClient::TConnected TTcpClient::Connect(const std::string& host, std::uint16_t port,
                                           std::chrono::milliseconds timeout, TWakeEvent& wake) {
  TConnected out;
  if (const std::error_code e = StartSockets()) {
    out.Error = e.message();
    return out;
  }
  addrinfoW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfoW* found = nullptr;
  const int rc = ::GetAddrInfoW(ToWide(host).c_str(), std::to_wstring(port).c_str(), &hints, &found);
  if (rc != 0) {
    out.Found = false;
    out.Error = SocketError(rc).message();
    return out;
  }
  out.Error = "no address";
  for (addrinfoW* a = found; a != nullptr && !out.Client; a = a->ai_next) {
    auto native = std::make_unique<TNative>(
        ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
    const SOCKET s = native->Socket;
    if (s == INVALID_SOCKET) continue;
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 && ::WSAGetLastError() != WSAEWOULDBLOCK) {
      out.Error = SocketError(::WSAGetLastError()).message();
      continue;
    }
    const TSocketReady ready = WaitWithEvent(s, true, wake.FNative->Event, timeout);
    if (ready.Error) {
      out.Error = ready.Error.message();
      continue;
    }
    if (!ready.Writable) {
      out.Error = ready.Woken ? "stopped" : "timed out";
      continue;
    }
    int err = 0;
    int len = sizeof err;
    ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
    if (err != 0) {
      out.Error = SocketError(err).message();
      continue;
    }
    KeepAlive(s);
    out.Client.reset(new TTcpClient(std::move(native)));
  }
  ::FreeAddrInfoW(found);
  return out;
}

std::error_code TTcpClient::SendAll(std::string_view bytes) {
  const SOCKET s = FNative->Socket;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - at, 1u << 20));
    const int n = ::send(s, bytes.data() + at, chunk, 0);
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
      fd_set writes;
      FD_ZERO(&writes);
      FD_SET(s, &writes);
      timeval second{1, 0};
      ::select(0, nullptr, &writes, nullptr, &second);
      continue;
    }
    if (n == SOCKET_ERROR) return SocketError(::WSAGetLastError());
    if (n == 0) return std::make_error_code(std::errc::broken_pipe);
    at += static_cast<std::size_t>(n);
  }
  return {};
}

TTcpRead TTcpClient::Receive(std::span<char> into, std::chrono::milliseconds timeout, TWakeEvent& wake) {
  TTcpRead out;
  const TSocketReady ready = WaitWithEvent(FNative->Socket, false, wake.FNative->Event, timeout);
  out.Woken = ready.Woken;
  if (ready.Error) {
    out.Error = ready.Error;
    return out;
  }
  if (!ready.Readable) return out;
  const int n = ::recv(FNative->Socket, into.data(), static_cast<int>(std::min<std::size_t>(into.size(), 1u << 20)), 0);
  if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) return out;
  if (n == SOCKET_ERROR) out.Error = SocketError(::WSAGetLastError());
  else if (n == 0) out.Closed = true;
  else out.Bytes = static_cast<std::size_t>(n);
  return out;
}

}  // namespace kassiro::platform
