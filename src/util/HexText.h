// Two-digit hexadecimal byte values, as logs print them and scripts write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kassiro {

// The value of one hex digit (either case), or -1.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte written by the two hex digits at text[at], if both are there.
constexpr std::optional<std::uint8_t> HexPairAt(std::string_view text, std::size_t at) {
  if (at > text.size() || text.size() - at < 2) return std::nullopt;
  const int hi = HexDigitValue(text[at]);
  const int lo = HexDigitValue(text[at + 1]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return static_cast<std::uint8_t>(hi * 16 + lo);
}

// Two upper-case hex digits.
inline std::string HexByte(std::uint8_t b) {
  constexpr std::string_view DIGITS = "0123456789ABCDEF";
  return {DIGITS[b >> 4], DIGITS[b & 0x0F]};
}

}  // namespace kassiro
