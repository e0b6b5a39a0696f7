#include "core/SelfMsgs.h"

#include <system_error>

#include "platform/ExePath.h"

namespace kassiro {

std::filesystem::path ExecutablePath() {
  auto p = platform::ExecutablePath();
  return p.empty() ? std::filesystem::path("kassiro") : p;
}

}  // namespace kassiro
