// The 8-bit code page in which the server hands out texts (the shop PC's ANSI code page,
// e.g. CP1251), turned into UTF-8 for the messages the bridge publishes.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace kassiro::bridge {

class TCharset {
 public:
  // Nothing when the system knows no single-byte code page of that name.
  static std::optional<TCharset> Named(const std::string& name);

  // Bytes that mean nothing in the code page become U+FFFD.
  std::string ToUtf8(std::string_view bytes) const;

 private:
  TCharset() = default;
  std::array<std::string, 256> FUtf8;  // the UTF-8 text of every byte
};

}  // namespace kassiro::bridge
