#include "core/SelfMsgs.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace kassiro {

namespace {

constexpr std::size_t MAX_TEXT = 255;
constexpr std::size_t HEAD = 4;  // the message code, little-endian
// An abstract socket name has room for sizeof(sun_path) - 1 bytes after the leading 0.
constexpr std::size_t MAX_NAME = sizeof(sockaddr_un{}.sun_path) - 1;

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

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
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

TSelfMessenger::TSelfMessenger(const std::filesystem::path& exePath)
    : FChannel(SelfChannelName(exePath)) {
  FRecvFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (FRecvFd < 0) return;
  const int on = 1;
  sockaddr_un addr;
  const socklen_t len = AbstractAddress(FChannel, addr);
  // Only one process can hold the name: the first copy receives, later ones only send.
  if (::setsockopt(FRecvFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
      ::bind(FRecvFd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    CloseFd(FRecvFd);
  }
}

TSelfMessenger::~TSelfMessenger() {
  CloseFd(FRecvFd);
  CloseFd(FSendFd);
}

bool TSelfMessenger::SendMessage(std::int32_t MsgId, std::string_view Txt) {
  if (FSendFd < 0) FSendFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (FSendFd < 0) return false;
  std::array<char, HEAD + MAX_TEXT> buf{};
  const auto code = static_cast<std::uint32_t>(MsgId);
  for (std::size_t i = 0; i < HEAD; ++i) buf[i] = static_cast<char>(code >> (8 * i));
  const std::size_t n = std::min(Txt.size(), MAX_TEXT);
  std::memcpy(buf.data() + HEAD, Txt.data(), n);
  sockaddr_un addr;
  const socklen_t len = AbstractAddress(FChannel, addr);
  const ssize_t sent = ::sendto(FSendFd, buf.data(), HEAD + n, 0,
                                reinterpret_cast<const sockaddr*>(&addr), len);
  return sent == static_cast<ssize_t>(HEAD + n);
}

void TSelfMessenger::HandleIncoming() {
  if (FRecvFd < 0 || FInHandle) return;
  FInHandle = true;
  for (;;) {
    std::array<char, HEAD + MAX_TEXT> buf{};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> control{};
    iovec iov{buf.data(), buf.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(FRecvFd, &msg, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // EAGAIN: nothing more pending
    }
    const ucred* cred = nullptr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
        cred = reinterpret_cast<const ucred*>(CMSG_DATA(c));
      }
    }
    // Only the same user may ask; short datagrams carry no code.
    if (cred == nullptr || cred->uid != ::getuid() || n < static_cast<ssize_t>(HEAD)) continue;
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < HEAD; ++i) code |= std::uint32_t{static_cast<std::uint8_t>(buf[i])} << (8 * i);
    const ShortStr text(std::string_view(buf.data() + HEAD, static_cast<std::size_t>(n) - HEAD));
    if (OnSelfEvent) OnSelfEvent(*this, static_cast<std::int32_t>(code), text, cred->pid == ::getpid());
  }
  FInHandle = false;
}

}  // namespace kassiro
