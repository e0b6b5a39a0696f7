// The client protocol's wire format as ecrclient sees it, kept in this one place:
// a message is five head bytes (ST, COP, ComPort, EcrNo, ErrC) followed by a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/MessageFrames.h"
#include "util/ShortStr.h"

namespace kassiro::client {

inline constexpr std::size_t MESSAGE_HEAD_SIZE = 5;
inline constexpr std::size_t MAX_TEXT_SIZE = 255 - MESSAGE_HEAD_SIZE;  // 250

// A message taken apart.
struct TMessage {
  std::uint8_t St = 0;
  std::uint8_t Cop = 0;
  std::uint8_t Port = 0;
  std::uint8_t Ecr = 0;
  std::uint8_t Err = 0;
  ShortStr Text;
  std::size_t Size = 0;  // bytes of the message; fewer than 5 means the head was cut short
};

// Builds a message (MakeString); the caller keeps the text within MAX_TEXT_SIZE.
ShortStr BuildMessage(std::uint8_t st, std::uint8_t cop, std::uint8_t port, std::uint8_t ecr,
                      std::uint8_t err, std::string_view text);
// Takes a message apart (DispatchString); head bytes beyond a short message read as 0.
TMessage Decode(std::string_view message);

// The stream's framing is the server's own.
using ::kassiro::Frame;
using ::kassiro::TFrameReader;

}  // namespace kassiro::client
