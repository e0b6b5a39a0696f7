#pragma once
// The running executable's version, for the title every window and log start shows.
//
// On Windows it is the file version of the executable's version resource (compiled from
// the project's version into every program); on POSIX, where an executable carries none,
// the version this build was made from.

#include <array>
#include <optional>

namespace kassiro::platform {

// The four numbers major.minor.patch.build; nothing when the executable carries none.
std::optional<std::array<int, 4>> ExecutableVersion();

}  // namespace kassiro::platform
