// Where the tray program finds the operator's guide that Help shows. In order:
//   1. beside the program under its own name, "kassiro.md" (the build tree, or a copy
//      laid out by hand);
//   2. the documentation folder of its installation, reached from the program's folder
//      ("../share/doc/kassiro-tray/operator.md" from bin/), so an installation under any
//      prefix, or a package unpacked anywhere, finds its own guide;
//   3. the documentation folder it was built to be installed in.
// The guide's pictures lie in "operator/" beside the guide in every place.
#pragma once

#include <filesystem>
#include <vector>

namespace kassiro::op {

struct TGuidePlaces {
  std::filesystem::path FromProgramFolder;  // relative to the program's folder
  std::filesystem::path Installed;          // absolute
};

// The places in the order they are tried.
std::vector<std::filesystem::path> GuideCandidates(const std::filesystem::path& exe, const TGuidePlaces& places);
// The first candidate that exists; the first of all when none does (Help then says
// that it is missing).
std::filesystem::path FindGuide(const std::filesystem::path& exe, const TGuidePlaces& places);

}  // namespace kassiro::op
