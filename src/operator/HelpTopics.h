// Help contexts of the menu items and dialogs, and their anchors in the operator's guide.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kassiro::op {

inline constexpr int HELP_ACCESS = 210;
inline constexpr int HELP_OFFSET = 220;
inline constexpr int HELP_PORTS = 230;
inline constexpr int HELP_CODE_TABLE = 240;
inline constexpr int HELP_STATUS = 260;
inline constexpr int HELP_CONTENTS = 270;
inline constexpr int HELP_START_STOP = 280;
inline constexpr int HELP_EXIT = 290;

// "help-210"; the guide marks each topic with <a name="help-NNN"></a>. The contents
// (and any context of 0 or below) have no anchor: the guide opens at its top.
inline std::string HelpAnchor(int context) {
  return context > 0 && context != HELP_CONTENTS ? "help-" + std::to_string(context) : std::string();
}

// The guide's anchors with the heading each one stands before: a line
// `<a name="help-210"></a>` names the next heading ("## Access" -> {"Access",
// "help-210"}). The guide's viewer puts the names on those headings.
std::vector<std::pair<std::string, std::string>> HeadingAnchors(std::string_view markdown);

}  // namespace kassiro::op
