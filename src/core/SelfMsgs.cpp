#include "core/SelfMsgs.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace kassiro {

namespace {

constexpr std::size_t MAX_TEXT = 255;
constexpr std::size_t HEAD = 4;  // the message code, little-endian
// An abstract socket name has room for sizeof(sun_path) - 1 bytes after the leading 0.
constexpr std::size_t MAX_NAME = sizeof(sockaddr_un{}.sun_path) - 1;
// How long the running copy waits for the message of a connection it took: the sender
// writes right after connecting, so this only bounds a sender that stalls.
constexpr int MESSAGE_WAIT_MS = 1000;
// Answers larger than the default socket buffer (a status of 99 ECRs) still go in one packet.
constexpr int ANSWER_BUFFER = 1 << 20;

// Closes a descriptor when it goes out of scope.
class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A stable short form for paths too long for a socket name: the front of the name
// and a 64-bit FNV-1a hash of the whole, so two long paths never share a channel
// because they share a prefix.
std::string Shorten(const std::string& name) {
  std::uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  char hex[20];
  std::snprintf(hex, sizeof hex, "#%016llx", static_cast<unsigned long long>(h));
  return name.substr(0, MAX_NAME - std::strlen(hex)) + hex;
}

socklen_t AbstractAddress(const std::string& name, sockaddr_un& addr) {
  addr = {};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

bool PeerOf(int fd, ucred& cred) {
  socklen_t len = sizeof cred;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred;
}

bool WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 && (p.revents & events) != 0;
  }
}

std::vector<char> Packet(std::int32_t MsgId, std::string_view Txt) {
  const std::size_t n = std::min(Txt.size(), MAX_TEXT);
  std::vector<char> buf(HEAD + n);
  const auto code = static_cast<std::uint32_t>(MsgId);
  for (std::size_t i = 0; i < HEAD; ++i) buf[i] = static_cast<char>(code >> (8 * i));
  std::memcpy(buf.data() + HEAD, Txt.data(), n);
  return buf;
}

}  // namespace

std::string SelfChannelName(const std::filesystem::path& exePath) {
  std::string name = exePath.string();
  std::replace(name.begin(), name.end(), '/', '_');
  return name.size() > MAX_NAME ? Shorten(name) : name;
}

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path("kassiro") : p;
}

TSelfMessenger::TSelfMessenger(const std::filesystem::path& exePath, bool Listen)
    : FChannel(SelfChannelName(exePath)) {
  if (!Listen) return;
  TFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un addr;
  const socklen_t len = AbstractAddress(FChannel, addr);
  // Only one process can hold the name: the running copy listens, later ones only send.
  if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
      ::listen(fd.get(), 8) != 0) {
    FListenError = std::error_code(errno, std::generic_category());
    return;
  }
  FListenFd = fd.release();
}

TSelfMessenger::~TSelfMessenger() {
  if (FListenFd >= 0) ::close(FListenFd);
}

// A connection to the channel's holder, once it is known to run as this user.
int TSelfMessenger::Connect(TSendResult& result) {
  TFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  result = TSendResult::Failed;
  if (fd.get() < 0) return -1;
  sockaddr_un addr;
  const socklen_t len = AbstractAddress(FChannel, addr);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    if (errno == ECONNREFUSED || errno == ENOENT) result = TSendResult::NoListener;
    return -1;
  }
  // The kernel recorded the listener's credentials when it began to listen.
  ucred cred{};
  if (!PeerOf(fd.get(), cred)) return -1;
  FListenerUid = cred.uid;
  if (cred.uid != ::geteuid()) {
    result = TSendResult::OtherUser;
    return -1;
  }
  result = TSendResult::Sent;
  return fd.release();
}

TSendResult TSelfMessenger::Send(std::int32_t MsgId, std::string_view Txt) {
  TSendResult result;
  const TFd fd(Connect(result));
  if (fd.get() < 0) return result;
  const auto buf = Packet(MsgId, Txt);
  const ssize_t sent = ::send(fd.get(), buf.data(), buf.size(), MSG_NOSIGNAL);
  return sent == static_cast<ssize_t>(buf.size()) ? TSendResult::Sent : TSendResult::Failed;
}

TSendResult TSelfMessenger::Request(std::int32_t MsgId, std::string_view Txt, std::string& Answer,
                                    int timeoutMs) {
  TSendResult result;
  const TFd fd(Connect(result));
  if (fd.get() < 0) return result;
  const auto buf = Packet(MsgId, Txt);
  if (::send(fd.get(), buf.data(), buf.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(buf.size()) ||
      !WaitFor(fd.get(), POLLIN, timeoutMs)) {
    return TSendResult::Failed;
  }
  // One packet holds the whole answer: ask its size first, then read it.
  const ssize_t size = ::recv(fd.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (size <= 0) return TSendResult::Failed;
  Answer.assign(static_cast<std::size_t>(size), '\0');
  const ssize_t n = ::recv(fd.get(), Answer.data(), Answer.size(), MSG_DONTWAIT);
  if (n != size) return TSendResult::Failed;
  return TSendResult::Sent;
}

void TSelfMessenger::HandleIncoming() {
  if (FListenFd < 0 || FInHandle) return;
  FInHandle = true;
  for (;;) {
    const int conn = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;  // EAGAIN: nothing more pending
    }
    Serve(conn);
  }
  FInHandle = false;
}

void TSelfMessenger::Serve(int conn) {
  const TFd fd(conn);
  ucred cred{};
  // Only the same user may ask; anybody else is hung up on before a byte is read.
  if (!PeerOf(conn, cred) || cred.uid != ::geteuid()) return;
  if (!WaitFor(conn, POLLIN, MESSAGE_WAIT_MS)) return;
  std::array<char, HEAD + MAX_TEXT> buf{};
  const ssize_t n = ::recv(conn, buf.data(), buf.size(), MSG_DONTWAIT);
  if (n < static_cast<ssize_t>(HEAD)) return;  // short packets carry no code
  std::uint32_t code = 0;
  for (std::size_t i = 0; i < HEAD; ++i) code |= std::uint32_t{static_cast<std::uint8_t>(buf[i])} << (8 * i);
  const ShortStr text(std::string_view(buf.data() + HEAD, static_cast<std::size_t>(n) - HEAD));
  if (!OnSelfEvent) return;
  FCurrent = conn;
  OnSelfEvent(*this, static_cast<std::int32_t>(code), text, cred.pid == ::getpid());
  FCurrent = -1;
}

void TSelfMessenger::Reply(std::string_view Answer) {
  if (FCurrent < 0) return;
  ::setsockopt(FCurrent, SOL_SOCKET, SO_SNDBUF, &ANSWER_BUFFER, sizeof ANSWER_BUFFER);
  // The sender waits for exactly this packet; one that no longer waits is not waited for.
  ::send(FCurrent, Answer.data(), Answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace kassiro
