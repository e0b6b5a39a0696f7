// The single-instance messenger: lets a later start of the program reach the running
// copy of the same folder: to ask it to quit, or to ask for its state. The channel is a
// Unix-domain sequenced-packet socket in the abstract namespace, named after the
// executable's real path (or, with a folder of its own, after the program's path in that
// folder). The running copy listens; a later copy connects and sends one message.
//
// Both ends check who is on the other side, from the kernel's peer credentials: the
// running copy takes messages only from its own user, and a sender talks only to a
// listener of its own user, so an administrator password never reaches a channel that
// another user bound first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "util/ShortStr.h"

namespace kassiro {

inline constexpr std::int32_t SM_QUIT = 2;
// Asks the running copy for its state; the answer comes back on the same connection.
inline constexpr std::int32_t SM_STATUS = 3;
// Asks the running copy to trace its line; the text is the number of seconds.
inline constexpr std::int32_t SM_TRACE = 4;

class TSelfMessenger;
using TMyEvent = std::function<void(TSelfMessenger& Sender, std::int32_t MsgID, const ShortStr& Txt,
                                    bool LoopBack)>;

// The channel name for an executable path: the path with every '/' replaced by '_'.
std::string SelfChannelName(const std::filesystem::path& exePath);
// The running executable's real path (/proc/self/exe).
std::filesystem::path ExecutablePath();

// What became of a message a sender tried to hand over.
enum class TSendResult {
  Sent,         // the running copy of the same user took it
  NoListener,   // no copy holds the channel
  OtherUser,    // the channel is held by a process of another user: nothing was sent
  Failed,       // the socket calls failed, or no answer came in time
};

class TSelfMessenger {
 public:
  // Listen: take the channel as the running copy (the copy that holds the settings
  // file); a copy that only sends passes false.
  explicit TSelfMessenger(const std::filesystem::path& exePath = ExecutablePath(), bool Listen = true);
  ~TSelfMessenger();
  TSelfMessenger(const TSelfMessenger&) = delete;
  TSelfMessenger& operator=(const TSelfMessenger&) = delete;

  const std::string& ChannelName() const { return FChannel; }
  // True when this copy holds the channel (it is the running copy and receives).
  bool Receiving() const { return FListenFd >= 0; }
  // Why taking the channel failed (empty while receiving or when not asked to listen).
  std::error_code ListenError() const { return FListenError; }
  // The descriptor a host loop watches for readability; -1 when not receiving.
  int Handle() const { return FListenFd; }

  // Sends the code and text (at most 255 bytes arrive) to the copy holding the channel.
  TSendResult Send(std::int32_t MsgId, std::string_view Txt);
  bool SendMessage(std::int32_t MsgId, std::string_view Txt) { return Send(MsgId, Txt) == TSendResult::Sent; }
  // Sends like Send and waits up to timeoutMs for the running copy's answer.
  TSendResult Request(std::int32_t MsgId, std::string_view Txt, std::string& Answer, int timeoutMs);
  // The user id of the last listener a Send or Request found (for the message of a
  // refused send).
  unsigned ListenerUid() const { return FListenerUid; }

  // Takes every pending connection and raises OnSelfEvent for each message from the
  // same user; messages that arrive while no handler is set are read and dropped.
  void HandleIncoming();
  // Inside OnSelfEvent: answers the sender of the message being handled.
  void Reply(std::string_view Answer);

  TMyEvent OnSelfEvent;

 private:
  int Connect(TSendResult& result);
  void Serve(int conn);

  std::string FChannel;
  int FListenFd = -1;
  int FCurrent = -1;  // the connection of the message being handled
  std::error_code FListenError;
  unsigned FListenerUid = 0;
  bool FInHandle = false;
};

}  // namespace kassiro
