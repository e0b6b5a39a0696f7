// The lines ecrclient understands, one request or script command each:
//   SET OP ECR [TEXT]          a request: set and operation by name or number, ECR 1..99;
//                              TEXT is the rest after one blank, with \xHH, \\ and \n
//   frame ST COP PORT ECR ERR [TEXT]   a message with any head bytes 0..255 (for testing)
//   raw HEX...                 bytes sent exactly as given, length byte included
//   expect SET CODE [ECR|*] [TIMEOUT_MS]   wait for a message of that set and code
//   sleep MS
//   quit
//   # comment, and empty lines
// A line that is not one of these parses to a TLineError; nothing is sent for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "ecrclient/Wire.h"
#include "util/ShortStr.h"

namespace kassiro::client {

struct TNothing {};
struct TSendMessage {
  ShortStr Message;  // head and text, without the length byte
};
struct TSendRaw {
  std::string Bytes;
};
struct TExpect {
  std::uint8_t St = 0;
  std::uint8_t Code = 0;               // operation or event code
  std::optional<std::uint8_t> Ecr;     // none: any ECR
  std::optional<std::uint32_t> TimeoutMs;  // none: the session's default
};
struct TSleep {
  std::uint32_t Ms = 0;
};
struct TQuit {};
struct TLineError {
  std::string Problem;
};

using TScriptLine =
    std::variant<TNothing, TSendMessage, TSendRaw, TExpect, TSleep, TQuit, TLineError>;

TScriptLine ParseLine(std::string_view line);

// An operation code ("COP_REQ", "REQ", "1"), an event code by name ("KPQ", "SND_R"),
// or a number, decimal or "0x"-hex.
std::optional<std::uint8_t> ParseCode(std::string_view text);

bool Matches(const TExpect& expect, const TMessage& message);
// "ST_ECP(9) KPQ(0x80) ecr=3", for messages about an expect.
std::string Describe(const TExpect& expect);

}  // namespace kassiro::client
