#include "ecrclient/Transcript.h"

#include <array>

#include "core/CodeNames.h"
#include "core/KassiroConstants.h"
#include "ecrclient/Wire.h"

namespace kassiro::client {

namespace {

constexpr std::array<char, 16> HEX_DIGITS{'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

std::string Hex2(std::uint8_t b) { return {HEX_DIGITS[b >> 4], HEX_DIGITS[b & 0x0F]}; }

std::string Labelled(std::string_view name, const std::string& number) {
  if (name.empty()) return number;
  return std::string(name) + "(" + number + ")";
}

// The error byte; in an answer to COP_PHASE it carries the phase instead, unless the
// phase request itself was refused with an error code.
std::string ErrorField(std::uint8_t cop, std::uint8_t err) {
  const std::string number = std::to_string(err);
  if (cop == COP_PHASE && !PhaseName(err).empty()) return "phase=" + Labelled(PhaseName(err), number);
  return "err=" + Labelled(ErrorName(err), number);
}

}  // namespace

std::string SetLabel(std::uint8_t st) { return Labelled(SetName(st), std::to_string(st)); }

std::string CodeLabel(std::uint8_t st, std::uint8_t code) {
  if (code >= 0x80) return Labelled(EventName(st, code), "0x" + Hex2(code));
  return Labelled(OperationName(code), std::to_string(code));
}

std::string EscapeText(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (b >= 0x20 && b < 0x7F && c != '"') {
      out += c;
    } else {
      out += "\\x" + Hex2(b);
    }
  }
  return out;
}

std::string AsTyped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<std::uint8_t>(c);
    out += b >= 0x20 && b < 0x7F ? std::string(1, c) : "\\x" + Hex2(b);
  }
  return out;
}

std::string HexBytes(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    if (!out.empty()) out += ' ';
    out += Hex2(static_cast<std::uint8_t>(c));
  }
  return out;
}

std::string FormatMessage(std::string_view arrow, std::string_view message, bool raw) {
  const TMessage m = Decode(message);
  std::string line(arrow);
  line += ' ' + SetLabel(m.St) + ' ' + CodeLabel(m.St, m.Cop);
  if (m.Port != 0) line += " port=" + std::to_string(m.Port);
  line += " ecr=" + std::to_string(m.Ecr) + ' ' + ErrorField(m.Cop, m.Err);
  line += " \"" + EscapeText(m.Text) + '"';
  if (m.Size < MESSAGE_HEAD_SIZE) line += " (short message: " + std::to_string(m.Size) + " bytes)";
  if (raw) line += " [" + HexBytes(Frame(message)) + ']';
  return line;
}

TTranscript::TTranscript(std::ostream& out, std::ostream& err, std::string label, bool raw)
    : out_(out), err_(err), prefix_(label.empty() ? "" : "[" + label + "] "), raw_(raw) {}

void TTranscript::Sent(std::string_view message) {
  Write(out_, FormatMessage(SENT_ARROW, message, raw_));
}

void TTranscript::SentRaw(std::string_view bytes) {
  Write(out_, std::string(SENT_ARROW) + " raw " + HexBytes(bytes));
}

void TTranscript::Received(std::string_view message) {
  Write(out_, FormatMessage(RECEIVED_ARROW, message, raw_));
}

void TTranscript::Problem(std::string_view text) {
  Write(err_, "ecrclient: " + std::string(text));
}

void TTranscript::Write(std::ostream& to, std::string_view line) {
  const std::lock_guard lock(mutex_);
  to << prefix_ << line << '\n' << std::flush;
}

}  // namespace kassiro::client
