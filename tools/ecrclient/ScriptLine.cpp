#include "ecrclient/ScriptLine.h"

#include <array>
#include <limits>

#include "core/CodeNames.h"
#include "core/KassiroConstants.h"
#include "ecrclient/Transcript.h"
#include "util/HexText.h"
#include "util/WholeNumber.h"

namespace kassiro::client {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Takes the next blank-separated word off the front of rest; rest then starts at the
// blank after the word (or is empty).
std::string_view NextWord(std::string_view& rest) {
  std::size_t from = 0;
  while (from < rest.size() && IsBlank(rest[from])) ++from;
  std::size_t to = from;
  while (to < rest.size() && !IsBlank(rest[to])) ++to;
  const std::string_view word = rest.substr(from, to - from);
  rest.remove_prefix(to);
  return word;
}

bool OnlyBlanks(std::string_view s) {
  for (const char c : s) {
    if (!IsBlank(c)) return false;
  }
  return true;
}

std::string Quoted(std::string_view word) { return "'" + AsTyped(word) + "'"; }

TLineError Error(std::string problem) { return TLineError{std::move(problem)}; }

std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t max) {
  const auto value = WholeNumber<std::uint32_t>(text);
  if (!value || *value > max) return std::nullopt;
  return value;
}

// "0x80" style; exactly one or two hex digits.
std::optional<std::uint8_t> ParseHexByte(std::string_view text) {
  if (text.size() < 3 || text.size() > 4 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
    return std::nullopt;
  }
  const std::string_view digits = text.substr(2);
  if (digits.size() == 2) return HexPairAt(digits, 0);
  const int value = HexDigitValue(digits[0]);
  if (value < 0) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

std::optional<std::uint8_t> ParseByte(std::string_view text) {
  if (auto hex = ParseHexByte(text)) return hex;
  if (auto n = ParseDecimal(text, 255)) return static_cast<std::uint8_t>(*n);
  return std::nullopt;
}

std::optional<std::uint8_t> ParseEventName(std::string_view text) {
  for (int st = 1; st <= SET_COUNT; ++st) {
    for (int code = 0x80; code <= 0xFF; ++code) {
      const auto c = static_cast<std::uint8_t>(code);
      if (!text.empty() && EventName(static_cast<std::uint8_t>(st), c) == text) return c;
    }
  }
  return std::nullopt;
}

// The text of a request: what follows the one blank after the last head word.
std::variant<std::string, TLineError> ParseText(std::string_view rest) {
  const std::string_view in = rest.empty() ? rest : rest.substr(1);
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    const char kind = i + 1 < in.size() ? in[i + 1] : '\0';
    if (kind == '\\' || kind == 'n') {
      out += kind == 'n' ? '\n' : '\\';
      i += 1;
    } else if (const auto byte = HexPairAt(in, i + 2); kind == 'x' && byte) {
      out += static_cast<char>(*byte);
      i += 3;
    } else {
      return Error("bad escape " + Quoted(in.substr(i, kind == 'x' ? 4 : 2)) +
                   " in the text (\\xHH, \\\\ and \\n are known)");
    }
  }
  if (out.size() > MAX_TEXT_SIZE) {
    return Error("the text is " + std::to_string(out.size()) + " bytes long, at most " +
                 std::to_string(MAX_TEXT_SIZE) + " fit in a message");
  }
  return out;
}

TScriptLine ParseRequest(std::string_view setWord, std::string_view rest) {
  const auto st = ParseSet(setWord);
  if (!st || *st < 1 || *st > SET_COUNT) return Error("unknown set " + Quoted(setWord));
  const std::string_view opWord = NextWord(rest);
  if (opWord.empty()) return Error("the operation is missing (SET OP ECR [TEXT])");
  const auto op = ParseOperation(opWord);
  if (!op || *op < 1 || *op > COP_COUNT) return Error("unknown operation " + Quoted(opWord));
  const std::string_view ecrWord = NextWord(rest);
  if (ecrWord.empty()) return Error("the ECR number is missing (SET OP ECR [TEXT])");
  const auto ecr = ParseDecimal(ecrWord, MAX_ECR_COUNT);
  if (!ecr || *ecr < 1) return Error("ECR " + Quoted(ecrWord) + " is not a number 1..99");
  auto text = ParseText(rest);
  if (auto* e = std::get_if<TLineError>(&text)) return *e;
  return TSendMessage{BuildMessage(*st, *op, 0, static_cast<std::uint8_t>(*ecr), 0,
                                   std::get<std::string>(text))};
}

TScriptLine ParseFrame(std::string_view rest) {
  std::array<std::uint8_t, MESSAGE_HEAD_SIZE> head{};
  constexpr std::array<std::string_view, MESSAGE_HEAD_SIZE> WHAT{"set", "operation", "port byte",
                                                                 "ECR byte", "error byte"};
  for (std::size_t i = 0; i < head.size(); ++i) {
    const std::string_view word = NextWord(rest);
    if (word.empty()) return Error("the " + std::string(WHAT[i]) + " is missing (frame ST COP PORT ECR ERR [TEXT])");
    const auto value = i == 0 ? ParseSet(word) : i == 1 ? ParseCode(word) : ParseByte(word);
    if (!value) return Error("bad " + std::string(WHAT[i]) + " " + Quoted(word) + " (a name or 0..255)");
    head[i] = *value;
  }
  auto text = ParseText(rest);
  if (auto* e = std::get_if<TLineError>(&text)) return *e;
  return TSendMessage{BuildMessage(head[0], head[1], head[2], head[3], head[4],
                                   std::get<std::string>(text))};
}

TScriptLine ParseRaw(std::string_view rest) {
  std::string bytes;
  for (std::string_view word = NextWord(rest); !word.empty(); word = NextWord(rest)) {
    if (word.size() % 2 != 0) return Error("raw bytes are pairs of hex digits: " + Quoted(word));
    for (std::size_t i = 0; i < word.size(); i += 2) {
      const auto byte = HexPairAt(word, i);
      if (!byte) return Error("raw bytes are pairs of hex digits: " + Quoted(word));
      bytes += static_cast<char>(*byte);
    }
  }
  if (bytes.empty()) return Error("raw needs at least one byte (raw HEX...)");
  return TSendRaw{std::move(bytes)};
}

TScriptLine ParseExpect(std::string_view rest) {
  TExpect expect;
  const std::string_view setWord = NextWord(rest);
  const std::string_view codeWord = NextWord(rest);
  if (codeWord.empty()) return Error("expect needs a set and a code (expect SET CODE [ECR] [TIMEOUT_MS])");
  const auto st = ParseSet(setWord);
  if (!st) return Error("unknown set " + Quoted(setWord));
  const auto code = ParseCode(codeWord);
  if (!code) return Error("unknown operation or event code " + Quoted(codeWord));
  expect.St = *st;
  expect.Code = *code;
  if (const std::string_view ecrWord = NextWord(rest); !ecrWord.empty() && ecrWord != "*") {
    const auto ecr = ParseDecimal(ecrWord, 255);
    if (!ecr) return Error("ECR " + Quoted(ecrWord) + " is not a number (or * for any)");
    expect.Ecr = static_cast<std::uint8_t>(*ecr);
  }
  if (const std::string_view msWord = NextWord(rest); !msWord.empty()) {
    expect.TimeoutMs = ParseDecimal(msWord, std::numeric_limits<std::uint32_t>::max());
    if (!expect.TimeoutMs) return Error("time-out " + Quoted(msWord) + " is not a number of ms");
  }
  if (!OnlyBlanks(rest)) return Error("expect takes at most SET CODE ECR TIMEOUT_MS");
  return expect;
}

TScriptLine ParseSleep(std::string_view rest) {
  const std::string_view msWord = NextWord(rest);
  const auto ms = ParseDecimal(msWord, std::numeric_limits<std::uint32_t>::max());
  if (!ms || !OnlyBlanks(rest)) return Error("sleep takes one number of ms (sleep MS)");
  return TSleep{*ms};
}

}  // namespace

std::optional<std::uint8_t> ParseCode(std::string_view text) {
  if (auto hex = ParseHexByte(text)) return hex;
  if (auto op = ParseOperation(text)) return op;
  return ParseEventName(text);
}

TScriptLine ParseLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // a script saved with CRLF
  std::string_view rest = line;
  const std::string_view first = NextWord(rest);
  if (first.empty() || first.front() == '#') return TNothing{};
  if (first == "expect") return ParseExpect(rest);
  if (first == "sleep") return ParseSleep(rest);
  if (first == "raw") return ParseRaw(rest);
  if (first == "frame") return ParseFrame(rest);
  if (first == "quit") {
    if (!OnlyBlanks(rest)) return Error("quit takes nothing after it");
    return TQuit{};
  }
  return ParseRequest(first, rest);
}

bool Matches(const TExpect& expect, const TMessage& message) {
  return message.St == expect.St && message.Cop == expect.Code &&
         (!expect.Ecr || *expect.Ecr == message.Ecr);
}

std::string Describe(const TExpect& expect) {
  std::string text = SetLabel(expect.St) + ' ' + CodeLabel(expect.St, expect.Code);
  text += expect.Ecr ? " ecr=" + std::to_string(*expect.Ecr) : " ecr=*";
  return text;
}

}  // namespace kassiro::client
