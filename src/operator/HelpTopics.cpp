#include "operator/HelpTopics.h"

namespace kassiro::op {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The name of a line `<a name="NAME"></a>`, or "".
std::string_view AnchorName(std::string_view line) {
  constexpr std::string_view open = "<a name=\"", close = "\"></a>";
  line = Trim(line);
  if (!line.starts_with(open) || !line.ends_with(close)) return {};
  return line.substr(open.size(), line.size() - open.size() - close.size());
}

}  // namespace

std::vector<std::pair<std::string, std::string>> HeadingAnchors(std::string_view markdown) {
  std::vector<std::pair<std::string, std::string>> anchors;
  std::string pending;
  while (!markdown.empty()) {
    const std::size_t nl = markdown.find('\n');
    const std::string_view line = markdown.substr(0, nl);
    markdown.remove_prefix(nl == std::string_view::npos ? markdown.size() : nl + 1);
    if (const std::string_view name = AnchorName(line); !name.empty()) {
      pending = name;
    } else if (!pending.empty() && Trim(line).starts_with('#')) {
      std::string_view heading = Trim(line);
      while (heading.starts_with('#')) heading.remove_prefix(1);
      anchors.emplace_back(std::string(Trim(heading)), pending);
      pending.clear();
    }
  }
  return anchors;
}

}  // namespace kassiro::op
