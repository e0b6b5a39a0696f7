// How ecrclient shows messages: one line per message, decoded, so that a session
// reads as a conversation ("->" sent, "<-" received):
//   -> ST_RPR(5) COP_REQ(1) ecr=7 err=ERR_NO_ERROR(0) "secret;"
//   <- ST_ECP(9) KPQ(0x80) ecr=3 err=ERR_NO_ERROR(0) "12;\x01;"
//   <- ST_RPR(5) COP_PHASE(7) ecr=7 phase=NOT_SENDED(101) ""
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace kassiro::client {

inline constexpr std::string_view SENT_ARROW = "->";
inline constexpr std::string_view RECEIVED_ARROW = "<-";

// "ST_RPR(5)"; a code without a name is its number alone: "16".
std::string SetLabel(std::uint8_t st);
// Operation codes by their names ("COP_ANSWER/COP_SELL/COP_REPORT(4)"), event codes by
// their name in set st ("KPQ(0x80)"); unnamed codes as a number ("13", "0x85").
std::string CodeLabel(std::uint8_t st, std::uint8_t code);
// Printable bytes as they are, '\' as "\\", '"' and all others as "\xHH"; the result can
// be typed back as the text of a request line.
std::string EscapeText(std::string_view bytes);
// A line or word as the user typed it, for messages: unprintable bytes as "\xHH".
std::string AsTyped(std::string_view text);
// "05 01 00 07 00"
std::string HexBytes(std::string_view bytes);

// One message as a line (without label and newline). With raw, the frame bytes (length
// byte first) follow in brackets.
std::string FormatMessage(std::string_view arrow, std::string_view message, bool raw);

// The output of a session: stdout for the conversation, stderr for problems; each line
// carries the label (if any) and is flushed at once. Safe to use from several threads.
class TTranscript {
 public:
  TTranscript(std::ostream& out, std::ostream& err, std::string label, bool raw);

  void Sent(std::string_view message);
  void SentRaw(std::string_view bytes);  // bytes sent exactly as given
  void Received(std::string_view message);
  void Problem(std::string_view text);   // "ecrclient: <text>" on stderr

 private:
  void Write(std::ostream& to, std::string_view line);

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  std::string prefix_;
  bool raw_;
};

}  // namespace kassiro::client
