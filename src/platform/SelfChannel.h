#pragma once
// The single-instance channel: lets a later start of the program reach the running copy
// of the same folder: to ask it to quit, for its state, or for a line trace. The channel
// lives in the folder of the program's files, named like them ("kassirod.sock" beside
// "kassirod.STG"): its path is the folder's own, so two folders never share a channel.
// The running copy listens; a later copy connects, sends one message (a code and up to
// 255 bytes of text) and may read one answer.
//
// Other users are kept out: the running copy takes the channel only in a folder that
// belongs to its user and that nobody else may write, and the channel itself is open to
// that user alone, so the system refuses another user's connection before the running
// copy sees it. Both ends still check who is at the other end, so an administrator
// password never reaches another user's channel. The running copy takes connections
// within a budget (a burst, then a steady rate), so a flood of them never takes more
// than a bounded share of its time.
//
// On POSIX the channel is a Unix-domain sequenced-packet socket of mode 0600, checked
// with the kernel's peer credentials. A second platform provides TSelfMessenger in its
// own implementation file (a named pipe with its owner's security descriptor on Windows)
// with the same answers, errors and texts; the budget and the path are shared.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "util/ShortStr.h"

namespace kassiro::platform {

class TSelfMessenger;
using TMyEvent = std::function<void(TSelfMessenger& Sender, std::int32_t MsgID, const ShortStr& Txt,
                                    bool LoopBack)>;

// The channel of the program whose files are named after base ("/srv/a/kassirod"): the
// socket beside them, "/srv/a/kassirod.sock".
std::filesystem::path SelfChannelPath(const std::filesystem::path& base);

// What became of a message a sender tried to hand over.
enum class TSendResult {
  Sent,         // the running copy of the same user took it
  NoListener,   // no copy holds the channel
  OtherUser,    // the channel is held by a process of another user: nothing was sent
  Failed,       // the socket calls failed, or no answer came in time
};

// How many connections the running copy takes: ACCEPT_BURST at once, then
// ACCEPT_PER_SECOND on average. A person or a monitoring script asks far less often.
inline constexpr double ACCEPT_BURST = 8;
inline constexpr double ACCEPT_PER_SECOND = 16;

// A token bucket over the connections taken, with the time passed in.
class TAcceptBudget {
 public:
  using TClock = std::chrono::steady_clock;
  explicit TAcceptBudget(TClock::time_point now) : FLast(now) {}
  // True when a connection may be taken now; Spend() once it was.
  bool Allows(TClock::time_point now);
  void Spend() { FTokens -= 1; }
  // How long until the next connection may be taken (0 when one may be now).
  std::chrono::milliseconds Wait() const;

 private:
  double FTokens = ACCEPT_BURST;
  TClock::time_point FLast;
};

class TSelfMessenger {
 public:
  // base: the path the program's files are named after. Listen: take the channel as the
  // running copy (the copy that holds the settings file); a copy that only sends passes
  // false.
  explicit TSelfMessenger(const std::filesystem::path& base, bool Listen = true);
  ~TSelfMessenger();
  TSelfMessenger(const TSelfMessenger&) = delete;
  TSelfMessenger& operator=(const TSelfMessenger&) = delete;

  // The channel's path, for messages.
  std::string ChannelName() const { return FPath.string(); }
  // True when this copy holds the channel (it is the running copy and receives).
  bool Receiving() const;
  // Why taking the channel failed (empty while receiving or when not asked to listen).
  const std::string& ListenError() const { return FListenError; }
  // Calls ready once, from a thread of the messenger's own, as soon as a connection
  // waits to be taken (at once when one waits already); the host's loop then calls
  // HandleIncoming on its own thread and asks again. ready hands over to that loop and
  // must not call the messenger. WhenPending(nullptr) takes back a call not yet made,
  // and one under way has ended when it returns. Nothing happens while not receiving.
  void WhenPending(std::function<void()> ready);
  // Waits up to timeout for a connection to wait (for a host without a loop of its own).
  bool WaitPending(std::chrono::milliseconds timeout);

  // Sends the code and text (at most 255 bytes arrive) to the copy holding the channel.
  TSendResult Send(std::int32_t MsgId, std::string_view Txt);
  bool SendMessage(std::int32_t MsgId, std::string_view Txt) { return Send(MsgId, Txt) == TSendResult::Sent; }
  // Sends like Send and waits up to timeoutMs for the running copy's answer.
  TSendResult Request(std::int32_t MsgId, std::string_view Txt, std::string& Answer, int timeoutMs);
  // The user id of the last listener a Send or Request found (for the message of a
  // refused send; the system's number of the user).
  unsigned ListenerUid() const { return FListenerUid; }
  // Why the last Send or Request failed, when a system call said so.
  std::error_code SendError() const { return FSendError; }

  // Takes the pending connections that the budget allows and raises OnSelfEvent for
  // each message from the same user; messages that arrive while no handler is set are
  // read and dropped. Returns 0 when the host may ask WhenPending again at once, else
  // how long it is to wait first (the budget is spent and connections may still wait).
  std::chrono::milliseconds HandleIncoming();
  // Inside OnSelfEvent: answers the sender of the message being handled.
  void Reply(std::string_view Answer);

  TMyEvent OnSelfEvent;

 private:
  struct TNative;  // the system's handles and calls, the implementation's own
  void Listen();
  TSendResult Exchange(std::int32_t MsgId, std::string_view Txt, std::string* Answer, int timeoutMs);

  std::filesystem::path FPath;
  std::string FListenError;
  std::error_code FSendError;
  unsigned FListenerUid = 0;
  bool FInHandle = false;
  TAcceptBudget FBudget{TAcceptBudget::TClock::now()};
  std::unique_ptr<TNative> FNative;
};

}  // namespace kassiro::platform
