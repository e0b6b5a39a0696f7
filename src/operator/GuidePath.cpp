#include "operator/GuidePath.h"

#include <system_error>

namespace kassiro::op {

namespace {

constexpr const char* GUIDE_NAME = "operator.md";

}  // namespace

std::vector<std::filesystem::path> GuideCandidates(const std::filesystem::path& exe, const TGuidePlaces& places) {
  std::filesystem::path beside = exe;
  std::vector<std::filesystem::path> out{beside.replace_extension(".md")};
  if (!places.FromProgramFolder.empty())
    out.push_back((exe.parent_path() / places.FromProgramFolder / GUIDE_NAME).lexically_normal());
  if (!places.Installed.empty()) out.push_back(places.Installed / GUIDE_NAME);
  return out;
}

std::filesystem::path FindGuide(const std::filesystem::path& exe, const TGuidePlaces& places) {
  const auto candidates = GuideCandidates(exe, places);
  for (const auto& c : candidates) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(c, ec)) return c;
  }
  return candidates.front();
}

}  // namespace kassiro::op
