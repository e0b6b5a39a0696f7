// The single-instance channel on Windows: a named pipe in place of the Unix-domain
// socket. The pipe's name is made of the channel's path (the folder of the program's
// files), so two folders never share one. Its security descriptor admits the running
// copy's user alone, so the system refuses another user's connection; and each end
// looks up the user of the process at the other end (the client before it writes a
// byte, so a password never reaches a pipe that another user made first).
#include <windows.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/SelfChannel.h"
#include "platform/WinText.h"

namespace kassiro::platform {

namespace {

constexpr std::size_t MAX_TEXT = 255;
constexpr std::size_t HEAD = 4;  // the message code, little-endian
// Connections the running copy holds ready while it serves one (the POSIX backlog).
constexpr std::size_t BACKLOG = 8;
// How long the running copy waits for the message of a connection it took, or for the
// sender to take its answer: the sender writes right after connecting and then reads.
constexpr DWORD MESSAGE_WAIT_MS = 1000;
// How long a plain Send may wait for the running copy to take its connection.
constexpr int SEND_WAIT_MS = 10000;
// An answer of 99 ECRs' status goes into the pipe at once.
constexpr DWORD ANSWER_BUFFER = 1 << 20;
constexpr std::size_t PIPE_NAME_MAX = 256;
constexpr std::wstring_view PIPE_PREFIX = LR"(\\.\pipe\kassiro)";

// Closes a handle when it goes out of scope.
class THandle {
 public:
  explicit THandle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~THandle() { reset(); }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr; }
  HANDLE release() { return std::exchange(h_, nullptr); }
  void reset(HANDLE h = nullptr) {
    if (h_ != nullptr) ::CloseHandle(h_);
    h_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
  }

 private:
  HANDLE h_;
};

// The pipe of a channel path: the path itself after the prefix, with its backslashes
// made slashes (a pipe's name holds no backslash) and in lower case (Windows names the
// same folder in any case); a path too long for a pipe's name is replaced by its hash.
std::wstring PipeName(const std::filesystem::path& channel) {
  std::wstring path = channel.wstring();
  std::replace(path.begin(), path.end(), L'\\', L'/');
  if (!path.empty()) ::CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
  std::wstring name = std::wstring(PIPE_PREFIX) + L"/" + path;
  if (name.size() <= PIPE_NAME_MAX) return name;
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the UTF-16 units
  for (const wchar_t c : path) hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
  std::array<wchar_t, 17> hex{};
  for (std::size_t i = 0; i < 16; ++i) hex[i] = L"0123456789abcdef"[(hash >> (60 - 4 * i)) & 0xF];
  return std::wstring(PIPE_PREFIX) + L"-" + hex.data();
}

// The user of a process, as its token's SID; nothing when it cannot be looked at.
using TUser = std::vector<BYTE>;
std::optional<TUser> UserOfToken(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  TUser user(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size)) return std::nullopt;
  return user;
}

std::optional<TUser> UserOfProcess(DWORD pid) {
  const THandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.valid()) return std::nullopt;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process.get(), TOKEN_QUERY, &token)) return std::nullopt;
  const THandle owned(token);
  return UserOfToken(owned.get());
}

PSID Sid(const TUser& user) { return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid; }

const TUser& Me() {
  static const TUser me = [] {
    HANDLE token = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
    const THandle owned(token);
    return UserOfToken(owned.get()).value_or(TUser{});
  }();
  return me;
}

bool IsMe(const std::optional<TUser>& user) {
  return user && !Me().empty() && ::EqualSid(Sid(*user), Sid(Me())) != 0;
}

// The last part of a SID, which tells users of one machine apart, for messages.
unsigned RelativeId(const TUser& user) {
  const PSID sid = Sid(user);
  const UCHAR n = *::GetSidSubAuthorityCount(sid);
  return n == 0 ? 0 : static_cast<unsigned>(*::GetSidSubAuthority(sid, n - 1U));
}

// A security descriptor whose only entry gives the running copy's user full access:
// nobody else may open the pipe or make an instance of it.
class TOwnerOnly {
 public:
  TOwnerOnly() {
    if (Me().empty()) return;
    const PSID sid = Sid(Me());
    const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid);
    FAcl.resize(aclSize);
    auto* acl = reinterpret_cast<PACL>(FAcl.data());
    FOk = ::InitializeAcl(acl, aclSize, ACL_REVISION) && ::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) &&
          ::InitializeSecurityDescriptor(&FDescriptor, SECURITY_DESCRIPTOR_REVISION) &&
          ::SetSecurityDescriptorDacl(&FDescriptor, TRUE, acl, FALSE) &&
          ::SetSecurityDescriptorOwner(&FDescriptor, sid, FALSE);
    FAttributes.nLength = sizeof FAttributes;
    FAttributes.lpSecurityDescriptor = &FDescriptor;
    FAttributes.bInheritHandle = FALSE;
  }
  TOwnerOnly(const TOwnerOnly&) = delete;
  TOwnerOnly& operator=(const TOwnerOnly&) = delete;
  SECURITY_ATTRIBUTES* get() { return FOk ? &FAttributes : nullptr; }

 private:
  std::vector<BYTE> FAcl;
  SECURITY_DESCRIPTOR FDescriptor{};
  SECURITY_ATTRIBUTES FAttributes{};
  bool FOk = false;
};

// Waits up to timeoutMs for an operation that went pending; cancels it when the time is
// up. done: the bytes it moved.
bool Finish(HANDLE h, OVERLAPPED& ov, DWORD& done, DWORD timeoutMs) {
  if (::WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
    ::CancelIoEx(h, &ov);
    ::GetOverlappedResult(h, &ov, &done, TRUE);
    ::SetLastError(ERROR_TIMEOUT);
    return false;
  }
  return ::GetOverlappedResult(h, &ov, &done, FALSE) != 0;
}

// Reads one whole message of the pipe within timeoutMs; at most limit bytes are kept.
bool ReadMessage(HANDLE h, std::string& into, std::size_t limit, DWORD timeoutMs) {
  const THandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return false;
  into.clear();
  std::array<char, 64 * 1024> chunk{};
  for (;;) {
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    DWORD got = 0;
    bool ok = ::ReadFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &got, &ov) != 0;
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) ok = Finish(h, ov, got, timeoutMs);
    else if (!ok && ::GetLastError() == ERROR_MORE_DATA) ::GetOverlappedResult(h, &ov, &got, FALSE);
    const bool more = !ok && ::GetLastError() == ERROR_MORE_DATA;
    if (!ok && !more) return false;
    into.append(chunk.data(), std::min<std::size_t>(got, limit - std::min(limit, into.size())));
    if (!more) return true;
  }
}

bool WriteMessage(HANDLE h, std::string_view bytes, DWORD timeoutMs) {
  const THandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return false;
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  DWORD put = 0;
  bool ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, &ov) != 0;
  if (!ok && ::GetLastError() == ERROR_IO_PENDING) ok = Finish(h, ov, put, timeoutMs);
  return ok && put == bytes.size();
}

std::string Packet(std::int32_t MsgId, std::string_view Txt) {
  const std::size_t n = std::min(Txt.size(), MAX_TEXT);
  std::string buf(HEAD + n, '\0');
  const auto code = static_cast<std::uint32_t>(MsgId);
  for (std::size_t i = 0; i < HEAD; ++i) buf[i] = static_cast<char>(code >> (8 * i));
  std::memcpy(buf.data() + HEAD, Txt.data(), n);
  return buf;
}

// One instance of the pipe, waiting for a sender; its event is set once one connected.
struct TSlot {
  THandle Pipe;
  THandle Event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  OVERLAPPED Ov{};
  bool CameAtOnce = false;  // connected before the wait for it began: Ov holds no result
};

}  // namespace

struct TSelfMessenger::TNative {
  std::wstring Pipe;
  TOwnerOnly Security;
  std::array<TSlot, BACKLOG> Slots;
  std::size_t Next = 0;  // the slot looked at first, so that no sender waits for ever
  HANDLE Current = nullptr;  // the connection of the message being handled

  // The thread behind WhenPending: it waits for a slot's event, or for Wake.
  std::mutex WatchLock;
  std::condition_variable Armed;
  std::function<void()> Ready;
  bool Quit = false;
  THandle Wake{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  std::thread Watcher;

  bool Listening() const { return Slots[0].Event.valid() && std::any_of(Slots.begin(), Slots.end(), [](const TSlot& s) { return s.Pipe.valid(); }); }
  DWORD Arm(TSlot& slot, bool first);
  static void Abandon(TSlot& slot);
  TSlot* Connected();
  void Watch();
  void StopWatching();
  void Serve(TSelfMessenger& m, HANDLE conn);
  HANDLE Connect(TSelfMessenger& m, TSendResult& result, int timeoutMs);
};

// A new instance of the pipe in the slot, waiting for a sender. The first instance must
// be the pipe's first: a pipe of this name made by anybody else is never joined.
DWORD TSelfMessenger::TNative::Arm(TSlot& slot, bool first) {
  ::ResetEvent(slot.Event.get());
  slot.Pipe.reset(::CreateNamedPipeW(
      Pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, BACKLOG + 1, ANSWER_BUFFER,
      HEAD + MAX_TEXT, 0, Security.get()));
  if (!slot.Pipe.valid()) return ::GetLastError();
  slot.Ov = {};
  slot.Ov.hEvent = slot.Event.get();
  slot.CameAtOnce = false;
  if (::ConnectNamedPipe(slot.Pipe.get(), &slot.Ov)) return ERROR_SUCCESS;
  switch (const DWORD e = ::GetLastError()) {
    case ERROR_IO_PENDING:
      return ERROR_SUCCESS;
    case ERROR_PIPE_CONNECTED:  // a sender came between the two calls
    case ERROR_NO_DATA:         // and went again: taken and dropped like any other
      slot.CameAtOnce = true;
      ::SetEvent(slot.Event.get());
      return ERROR_SUCCESS;
    default:
      slot.Pipe.reset();
      return e;
  }
}

// Closes the slot's instance. A wait for a sender still under way is cancelled first, and
// its end waited for: the system writes into the slot's OVERLAPPED until then.
void TSelfMessenger::TNative::Abandon(TSlot& slot) {
  if (!slot.Pipe.valid()) return;
  DWORD unused = 0;
  if (!slot.CameAtOnce && !::GetOverlappedResult(slot.Pipe.get(), &slot.Ov, &unused, FALSE) &&
      ::GetLastError() == ERROR_IO_INCOMPLETE) {
    ::CancelIoEx(slot.Pipe.get(), &slot.Ov);
    ::GetOverlappedResult(slot.Pipe.get(), &slot.Ov, &unused, TRUE);
  }
  slot.Pipe.reset();
}

// A slot with a sender connected, taking turns among them.
TSlot* TSelfMessenger::TNative::Connected() {
  for (std::size_t i = 0; i < Slots.size(); ++i) {
    TSlot& s = Slots[(Next + i) % Slots.size()];
    if (s.Pipe.valid() && ::WaitForSingleObject(s.Event.get(), 0) == WAIT_OBJECT_0) {
      Next = (Next + i + 1) % Slots.size();
      return &s;
    }
  }
  return nullptr;
}

void TSelfMessenger::TNative::Watch() {
  std::array<HANDLE, BACKLOG + 1> events{};
  events[0] = Wake.get();
  for (std::size_t i = 0; i < BACKLOG; ++i) events[i + 1] = Slots[i].Event.get();
  std::unique_lock lock(WatchLock);
  for (;;) {
    Armed.wait(lock, [this] { return Quit || Ready; });
    if (Quit) return;
    lock.unlock();
    const DWORD n = ::WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, INFINITE);
    lock.lock();
    if (n == WAIT_FAILED) return;
    if (n == WAIT_OBJECT_0) continue;  // taken back or quitting: look again
    // Called under the lock, so that taking it back waits for a call under way.
    if (Ready) std::exchange(Ready, nullptr)();
  }
}

void TSelfMessenger::TNative::StopWatching() {
  if (!Watcher.joinable()) return;
  {
    const std::lock_guard lock(WatchLock);
    Quit = true;
  }
  Armed.notify_all();
  ::SetEvent(Wake.get());
  Watcher.join();
}

TSelfMessenger::TSelfMessenger(const std::filesystem::path& base, bool Listen)
    : FPath(SelfChannelPath(base)), FNative(std::make_unique<TNative>()) {
  FNative->Pipe = PipeName(std::filesystem::absolute(FPath));
  FPath = FNative->Pipe;  // what the messages name
  if (Listen) this->Listen();
}

TSelfMessenger::~TSelfMessenger() {
  FNative->StopWatching();
  for (TSlot& slot : FNative->Slots) TNative::Abandon(slot);
}

bool TSelfMessenger::Receiving() const { return FNative->Listening(); }

void TSelfMessenger::Listen() {
  TNative& n = *FNative;
  if (n.Security.get() == nullptr) {
    FListenError = "the user of this process could not be read: " + LastWindowsError().message();
    return;
  }
  // FILE_FLAG_FIRST_PIPE_INSTANCE below keeps out a pipe made meanwhile; Wine ignores
  // that flag, so a pipe that exists already is looked for first.
  if (::WaitNamedPipeW(n.Pipe.c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    FListenError = WindowsError(ERROR_ALREADY_EXISTS).message();
    return;
  }
  for (std::size_t i = 0; i < n.Slots.size(); ++i) {
    if (const DWORD e = n.Arm(n.Slots[i], i == 0); e != ERROR_SUCCESS) {
      // The first instance fails when the pipe exists: another copy, or another user's
      // program, holds the name. The rest only make the backlog shorter.
      if (i == 0) FListenError = WindowsError(e).message();
      return;
    }
  }
}

void TSelfMessenger::WhenPending(std::function<void()> ready) {
  TNative& n = *FNative;
  if (!n.Listening()) return;
  if (!n.Watcher.joinable()) {
    if (!ready) return;
    n.Watcher = std::thread([&n] { n.Watch(); });
  }
  {
    const std::lock_guard lock(n.WatchLock);
    n.Ready = std::move(ready);
  }
  n.Armed.notify_all();
  // A watcher in its wait looks again: at once for a new call, or to forget a taken-back one.
  ::SetEvent(n.Wake.get());
}

bool TSelfMessenger::WaitPending(std::chrono::milliseconds timeout) {
  if (!Receiving()) return false;
  std::array<HANDLE, BACKLOG> events{};
  for (std::size_t i = 0; i < BACKLOG; ++i) events[i] = FNative->Slots[i].Event.get();
  const DWORD ms = static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1));
  return ::WaitForMultipleObjects(BACKLOG, events.data(), FALSE, ms) < WAIT_OBJECT_0 + BACKLOG;
}

// A connection to the channel's holder, once its process is known to run as this user.
HANDLE TSelfMessenger::TNative::Connect(TSelfMessenger& m, TSendResult& result, int timeoutMs) {
  result = TSendResult::Failed;
  m.FSendError = {};
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
  THandle pipe;
  for (;;) {
    // Identification only: a server of another user could not act in our name.
    pipe.reset(::CreateFileW(Pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe.valid()) break;
    const DWORD e = ::GetLastError();
    m.FSendError = WindowsError(e);
    if (e == ERROR_FILE_NOT_FOUND) {
      result = TSendResult::NoListener;
      return nullptr;
    }
    if (e == ERROR_ACCESS_DENIED) {  // the pipe's security admits another user only
      result = TSendResult::OtherUser;
      return nullptr;
    }
    // Every instance is taken: the running copy is busy or its budget is spent.
    const ULONGLONG now = ::GetTickCount64();
    if (e != ERROR_PIPE_BUSY || now >= deadline) return nullptr;
    ::WaitNamedPipeW(Pipe.c_str(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 1000)));
  }
  m.FSendError = {};
  DWORD mode = PIPE_READMODE_MESSAGE;
  ULONG server = 0;
  if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) ||
      !::GetNamedPipeServerProcessId(pipe.get(), &server)) {
    m.FSendError = LastWindowsError();
    return nullptr;
  }
  // A process whose user cannot be read is as good as another user's: nothing is sent.
  const auto user = UserOfProcess(server);
  m.FListenerUid = user ? RelativeId(*user) : 0;
  if (!IsMe(user)) {
    result = TSendResult::OtherUser;
    return nullptr;
  }
  result = TSendResult::Sent;
  return pipe.release();
}

TSendResult TSelfMessenger::Exchange(std::int32_t MsgId, std::string_view Txt, std::string* Answer,
                                     int timeoutMs) {
  TSendResult result;
  const THandle pipe(FNative->Connect(*this, result, timeoutMs));
  if (!pipe.valid()) return result;
  if (!WriteMessage(pipe.get(), Packet(MsgId, Txt), static_cast<DWORD>(std::max(timeoutMs, 0)))) {
    FSendError = LastWindowsError();
    return TSendResult::Failed;
  }
  if (Answer == nullptr) return TSendResult::Sent;
  if (!ReadMessage(pipe.get(), *Answer, std::string::npos, static_cast<DWORD>(std::max(timeoutMs, 0)))) {
    FSendError = LastWindowsError();
    return TSendResult::Failed;
  }
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
  TNative& n = *FNative;
  while (FBudget.Allows(TAcceptBudget::TClock::now())) {
    TSlot* slot = n.Connected();
    if (slot == nullptr) break;
    DWORD unused = 0;
    const bool connected = slot->CameAtOnce || ::GetOverlappedResult(slot->Pipe.get(), &slot->Ov, &unused, FALSE) ||
                           ::GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected) {  // the sender went before it was taken
      TNative::Abandon(*slot);
      n.Arm(*slot, false);
      continue;
    }
    const THandle conn(slot->Pipe.release());
    n.Arm(*slot, false);  // the slot waits for the next sender while this one is served
    FBudget.Spend();
    n.Serve(*this, conn.get());
  }
  FInHandle = false;
  return FBudget.Wait();
}

// The connection is closed afterwards without a disconnect: an answer written to it stays
// readable for the sender.
void TSelfMessenger::TNative::Serve(TSelfMessenger& m, HANDLE conn) {
  ULONG client = 0;
  // Only the same user may ask; anybody else is hung up on before a byte is read.
  if (!::GetNamedPipeClientProcessId(conn, &client) || !IsMe(UserOfProcess(client))) return;
  std::string message;
  if (!ReadMessage(conn, message, HEAD + MAX_TEXT, MESSAGE_WAIT_MS) || message.size() < HEAD) return;
  std::uint32_t code = 0;
  for (std::size_t i = 0; i < HEAD; ++i) code |= std::uint32_t{static_cast<std::uint8_t>(message[i])} << (8 * i);
  const ShortStr text(std::string_view(message).substr(HEAD));
  if (!m.OnSelfEvent) return;
  Current = conn;
  m.OnSelfEvent(m, static_cast<std::int32_t>(code), text, client == ::GetCurrentProcessId());
  Current = nullptr;
}

void TSelfMessenger::Reply(std::string_view Answer) {
  if (FNative->Current == nullptr) return;
  // The sender reads right away; one that no longer waits is not waited for long.
  WriteMessage(FNative->Current, Answer, MESSAGE_WAIT_MS);
}

}  // namespace kassiro::platform
