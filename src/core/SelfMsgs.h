// The messages a later start of a program sends to its running copy over the
// single-instance channel (platform/SelfChannel.h), and the answers it gets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/SelfChannel.h"

namespace kassiro {

using platform::SelfChannelPath;
using platform::TMyEvent;
using platform::TSelfMessenger;
using platform::TSendResult;

inline constexpr std::int32_t SM_QUIT = 2;
// Asks the running copy for its state; the answer comes back on the same connection.
inline constexpr std::int32_t SM_STATUS = 3;
// Asks the running copy to trace its line; the text is the number of seconds.
inline constexpr std::int32_t SM_TRACE = 4;

// The running copy's answers to SM_QUIT: it closes, or the password was not its own.
inline constexpr std::string_view QUIT_ACCEPTED = "closing";
inline constexpr std::string_view QUIT_WRONG_PASSWORD = "wrong password";

// The running executable's real path ("kassiro" when the system cannot tell).
std::filesystem::path ExecutablePath();

}  // namespace kassiro
