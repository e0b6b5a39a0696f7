#include "platform/ExePath.h"

#include <system_error>

namespace kassiro::platform {

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

}  // namespace kassiro::platform
