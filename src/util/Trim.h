// A text without the blanks around it: how INI lines, parameters and address lists are
// read, whatever spaces, tabs or line ends a person or an editor left there.
#pragma once

#include <string_view>

namespace kassiro {

inline constexpr std::string_view BLANKS = " \t\r\n\f\v";

constexpr std::string_view Trim(std::string_view s) {
  const auto b = s.find_first_not_of(BLANKS);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(BLANKS) - b + 1);
}

}  // namespace kassiro
