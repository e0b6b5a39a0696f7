#include "util/JsonText.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace kassiro {

namespace {

// Bytes of the valid UTF-8 sequence at the start of s (2..4), 0 when none starts there:
// overlong forms, surrogates and values above U+10FFFF are not valid.
std::size_t Utf8Sequence(std::string_view s) {
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t lead = at(0);
  std::size_t n = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) n = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) n = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) n = 4;
  else return 0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (s.size() < n || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  return n;
}

void AppendEscaped(std::string& out, std::uint8_t b) {
  constexpr std::string_view HEX = "0123456789abcdef";
  out += "\\u00";
  out += HEX[b >> 4];
  out += HEX[b & 0x0F];
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto b = static_cast<std::uint8_t>(c);
    if (b >= 0x80) {
      if (const std::size_t n = Utf8Sequence(text.substr(i)); n != 0) {
        out.append(text.substr(i, n));
        i += n;
        continue;
      }
      AppendEscaped(out, b);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (b < 0x20 || b == 0x7F) {
      AppendEscaped(out, b);
    } else {
      out += c;
    }
    ++i;
  }
  return out + '"';
}

}  // namespace kassiro
