#include "platform/ProgramVersion.h"

#include "Version.h"

namespace kassiro::platform {

std::optional<std::array<int, 4>> ExecutableVersion() {
  return std::array<int, 4>{VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH, VERSION_TWEAK};
}

}  // namespace kassiro::platform
