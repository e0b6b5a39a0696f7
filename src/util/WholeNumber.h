// A number written as the whole of a text, in decimal: how arguments, settings, script
// words and report fields are read.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace kassiro {

// The value of text when all of it is one decimal number of type T (a leading '-' for
// a signed T only); nothing for an empty text, any other character, or a value out of
// T's range.
template <typename T>
std::optional<T> WholeNumber(std::string_view text) {
  T v{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace kassiro
