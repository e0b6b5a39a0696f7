#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/SelfChannel.h"

namespace kassiro::platform {

namespace {

constexpr std::size_t MAX_TEXT = 255;
constexpr std::size_t HEAD = 4;  // the message code, little-endian
constexpr int BACKLOG = 8;
// How long the running copy waits for the message of a connection it took: the sender
// writes right after connecting, so this only bounds a sender that stalls.
constexpr int MESSAGE_WAIT_MS = 1000;
// How long a plain Send may wait for the running copy to take its connection.
constexpr int SEND_WAIT_MS = 10000;
// Answers larger than the default socket buffer (a status of 99 ECRs) still go in one packet.
constexpr int ANSWER_BUFFER = 1 << 20;

// Closes a descriptor when it goes out of scope.
class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() { reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The socket's address: its path, or for a path longer than an address holds, the same
// file reached through the open folder's descriptor.
std::string AddressPath(const std::filesystem::path& path, int dirFd) {
  if (dirFd < 0) return path.string();
  return "/proc/self/fd/" + std::to_string(dirFd) + "/" + path.filename().string();
}

socklen_t Address(const std::string& path, sockaddr_un& addr) {
  addr = {};
  addr.sun_family = AF_UNIX;
  const std::size_t n = std::min(path.size(), sizeof addr.sun_path - 1);
  std::memcpy(addr.sun_path, path.data(), n);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
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

// "" when only this user can write into the folder, else why the channel stays away.
std::string FolderProblem(const std::filesystem::path& folder, const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  if (!S_ISDIR(st.st_mode)) return folder.string() + " is no folder";
  if (st.st_uid != ::geteuid()) {
    return "the folder " + folder.string() + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
           std::to_string(::geteuid());
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "other users may write into the folder " + folder.string() + " (mode " + mode + ")";
  }
  return {};
}

// True when a copy still listens on the socket at path (a connection is taken or waits).
bool SomebodyListens(const std::string& path) {
  const TFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un addr;
  const socklen_t len = Address(path, addr);
  return fd.get() >= 0 &&
         (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) == 0 || errno == EAGAIN);
}

}  // namespace

struct TSelfMessenger::TNative {
  TFd Dir;  // the folder, when its path is too long for a socket address
  TFd Listening;
  int Current = -1;  // the connection of the message being handled
  std::uint64_t BoundIno = 0;  // the socket file this copy made, removed only if still there
  std::uint64_t BoundDev = 0;

  // The thread behind WhenPending: it waits for the listening socket, or for Wake.
  std::mutex WatchLock;
  std::condition_variable Armed;
  std::function<void()> Ready;
  bool Quit = false;
  TFd Wake;
  std::thread Watcher;

  std::string Path(const std::filesystem::path& path) const { return AddressPath(path, Dir.get()); }
  void Watch();
  void StopWatching();
  void Serve(TSelfMessenger& m, int conn);
  int Connect(TSelfMessenger& m, TSendResult& result, int timeoutMs);
};

void TSelfMessenger::TNative::Watch() {
  std::unique_lock lock(WatchLock);
  for (;;) {
    Armed.wait(lock, [this] { return Quit || Ready; });
    if (Quit) return;
    lock.unlock();
    pollfd p[2] = {{Listening.get(), POLLIN, 0}, {Wake.get(), POLLIN, 0}};
    const int n = ::poll(p, 2, -1);
    lock.lock();
    if (n < 0 && errno != EINTR) return;
    if (p[1].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = ::read(Wake.get(), &count, sizeof count);
      continue;  // taken back or quitting: look again
    }
    // Called under the lock, so that taking it back waits for a call under way.
    if ((p[0].revents & POLLIN) != 0 && Ready) std::exchange(Ready, nullptr)();
  }
}

void TSelfMessenger::TNative::StopWatching() {
  if (!Watcher.joinable()) return;
  {
    const std::lock_guard lock(WatchLock);
    Quit = true;
  }
  Armed.notify_all();
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(Wake.get(), &one, sizeof one);
  Watcher.join();
}

TSelfMessenger::TSelfMessenger(const std::filesystem::path& base, bool Listen)
    : FPath(SelfChannelPath(base)), FNative(std::make_unique<TNative>()) {
  if (FPath.string().size() >= sizeof(sockaddr_un{}.sun_path)) {
    FNative->Dir.reset(::open(FPath.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  if (Listen) this->Listen();
}

TSelfMessenger::~TSelfMessenger() {
  FNative->StopWatching();
  if (FNative->Listening.get() >= 0) {
    FNative->Listening.reset();
    // The file goes with the copy that made it, unless a later copy made its own.
    struct stat st {};
    const std::string path = FNative->Path(FPath);
    if (::lstat(path.c_str(), &st) == 0 && st.st_ino == FNative->BoundIno && st.st_dev == FNative->BoundDev) {
      ::unlink(path.c_str());
    }
  }
}

bool TSelfMessenger::Receiving() const { return FNative->Listening.get() >= 0; }

void TSelfMessenger::Listen() {
  const auto folder = FPath.parent_path();
  struct stat st {};
  const int dirFd = FNative->Dir.get();
  if ((dirFd >= 0 ? ::fstat(dirFd, &st) : ::stat(folder.c_str(), &st)) != 0) {
    FListenError = folder.string() + ": " + std::strerror(errno);
    return;
  }
  if (auto problem = FolderProblem(folder, st); !problem.empty()) {
    FListenError = std::move(problem);
    return;
  }
  const std::string path = FNative->Path(FPath);
  TFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un addr;
  const socklen_t len = Address(path, addr);
  const auto bind = [&] { return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) == 0; };
  bool bound = fd.get() >= 0 && bind();
  // A socket file that nobody listens on is left by a copy that was killed: only the
  // copy holding the settings file takes the channel, so it may clear it away.
  if (!bound && errno == EADDRINUSE && !SomebodyListens(path)) {
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0 && S_ISSOCK(old.st_mode) && ::unlink(path.c_str()) == 0) bound = bind();
    else errno = EADDRINUSE;
  }
  if (!bound) {
    FListenError = std::strerror(errno);
    return;
  }
  // Nobody can connect before listen(): the mode is set before anybody could use it.
  struct stat made {};
  if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::lstat(path.c_str(), &made) != 0 ||
      ::listen(fd.get(), BACKLOG) != 0) {
    FListenError = std::strerror(errno);
    ::unlink(path.c_str());
    return;
  }
  FNative->BoundIno = made.st_ino;
  FNative->BoundDev = made.st_dev;
  FNative->Listening.reset(fd.release());
}

void TSelfMessenger::WhenPending(std::function<void()> ready) {
  TNative& n = *FNative;
  if (n.Listening.get() < 0) return;
  if (!n.Watcher.joinable()) {
    if (!ready) return;
    n.Wake.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (n.Wake.get() < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    n.Watcher = std::thread([&n] { n.Watch(); });
  }
  {
    const std::lock_guard lock(n.WatchLock);
    n.Ready = std::move(ready);
  }
  n.Armed.notify_all();
  // A watcher in poll looks again: at once for a new call, or to forget a taken-back one.
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t w = ::write(n.Wake.get(), &one, sizeof one);
}

bool TSelfMessenger::WaitPending(std::chrono::milliseconds timeout) {
  return Receiving() && WaitFor(FNative->Listening.get(), POLLIN, static_cast<int>(timeout.count()));
}

// A connection to the channel's holder, once it is known to run as this user.
int TSelfMessenger::TNative::Connect(TSelfMessenger& m, TSendResult& result, int timeoutMs) {
  result = TSendResult::Failed;
  m.FSendError = {};
  TFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    m.FSendError = std::error_code(errno, std::generic_category());
    return -1;
  }
  // A running copy that has spent its budget takes the connection a little later; the
  // wait for that is bounded too.
  const timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_un addr;
  const socklen_t len = Address(Path(m.FPath), addr);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    if (errno == ECONNREFUSED || errno == ENOENT) result = TSendResult::NoListener;
    m.FSendError = std::error_code(errno, std::generic_category());
    return -1;
  }
  // The kernel recorded the listener's credentials when it began to listen.
  ucred cred{};
  if (!PeerOf(fd.get(), cred)) return -1;
  m.FListenerUid = cred.uid;
  if (cred.uid != ::geteuid()) {
    result = TSendResult::OtherUser;
    return -1;
  }
  result = TSendResult::Sent;
  return fd.release();
}

TSendResult TSelfMessenger::Exchange(std::int32_t MsgId, std::string_view Txt, std::string* Answer,
                                     int timeoutMs) {
  TSendResult result;
  const TFd fd(FNative->Connect(*this, result, timeoutMs));
  if (fd.get() < 0) return result;
  const auto buf = Packet(MsgId, Txt);
  if (::send(fd.get(), buf.data(), buf.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(buf.size())) {
    return TSendResult::Failed;
  }
  if (Answer == nullptr) return TSendResult::Sent;
  if (!WaitFor(fd.get(), POLLIN, timeoutMs)) return TSendResult::Failed;
  // One packet holds the whole answer: ask its size first, then read it.
  const ssize_t size = ::recv(fd.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (size <= 0) return TSendResult::Failed;
  Answer->assign(static_cast<std::size_t>(size), '\0');
  const ssize_t n = ::recv(fd.get(), Answer->data(), Answer->size(), MSG_DONTWAIT);
  if (n != size) return TSendResult::Failed;
  return TSendResult::Sent;
}

TSendResult TSelfMessenger::Send(std::int32_t MsgId, std::string_view Txt) {
  return Exchange(MsgId, Txt, nullptr, SEND_WAIT_MS);
}

TSendResult TSelfMessenger::Request(std::int32_t MsgId, std::string_view Txt, std::string& Answer,
                                    int timeoutMs) {
  return Exchange(MsgId, Txt, &Answer, timeoutMs);
}

std::chrono::milliseconds TSelfMessenger::HandleIncoming() {
  if (!Receiving() || FInHandle) return std::chrono::milliseconds(0);
  FInHandle = true;
  while (FBudget.Allows(TAcceptBudget::TClock::now())) {
    const int conn = ::accept4(FNative->Listening.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;  // EAGAIN: nothing more pending
    }
    FBudget.Spend();
    FNative->Serve(*this, conn);
  }
  FInHandle = false;
  return FBudget.Wait();
}

void TSelfMessenger::TNative::Serve(TSelfMessenger& m, int conn) {
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
  if (!m.OnSelfEvent) return;
  Current = conn;
  m.OnSelfEvent(m, static_cast<std::int32_t>(code), text, cred.pid == ::getpid());
  Current = -1;
}

void TSelfMessenger::Reply(std::string_view Answer) {
  const int conn = FNative->Current;
  if (conn < 0) return;
  ::setsockopt(conn, SOL_SOCKET, SO_SNDBUF, &ANSWER_BUFFER, sizeof ANSWER_BUFFER);
  // The sender waits for exactly this packet; one that no longer waits is not waited for.
  ::send(conn, Answer.data(), Answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace kassiro::platform
