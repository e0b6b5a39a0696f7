// The single-instance messenger: lets a second start of the program ask the running
// copy of the same executable to quit. The channel is a Unix-domain datagram socket in
// the abstract namespace, named after the executable's real path; the running copy
// binds it and receives, a later copy only sends. Messages are accepted only from
// processes of the same user (the kernel's peer credentials).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "util/ShortStr.h"

namespace kassiro {

inline constexpr std::int32_t SM_QUIT = 2;

class TSelfMessenger;
using TMyEvent = std::function<void(TSelfMessenger& Sender, std::int32_t MsgID, const ShortStr& Txt,
                                    bool LoopBack)>;

// The channel name for an executable path: the path with every '/' replaced by '_'.
std::string SelfChannelName(const std::filesystem::path& exePath);
// The running executable's real path (/proc/self/exe).
std::filesystem::path ExecutablePath();

class TSelfMessenger {
 public:
  explicit TSelfMessenger(const std::filesystem::path& exePath = ExecutablePath());
  ~TSelfMessenger();
  TSelfMessenger(const TSelfMessenger&) = delete;
  TSelfMessenger& operator=(const TSelfMessenger&) = delete;

  const std::string& ChannelName() const { return FChannel; }
  // True when this copy holds the channel (it is the running copy and receives).
  bool Receiving() const { return FRecvFd >= 0; }
  // The descriptor a host loop watches for readability; -1 when not receiving.
  int Handle() const { return FRecvFd; }

  // Sends the code and text (at most 255 bytes arrive) to the copy holding the
  // channel. False when nobody holds it or the send failed.
  bool SendMessage(std::int32_t MsgId, std::string_view Txt);

  // Reads every pending message and raises OnSelfEvent for each one from the same
  // user; messages that arrive while no handler is set are read and dropped.
  void HandleIncoming();

  TMyEvent OnSelfEvent;

 private:
  std::string FChannel;
  int FRecvFd = -1;
  int FSendFd = -1;
  bool FInHandle = false;
};

}  // namespace kassiro
