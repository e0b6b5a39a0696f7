#include "platform/SelfChannel.h"

#include <algorithm>

namespace kassiro::platform {

bool TAcceptBudget::Allows(TClock::time_point now) {
  const std::chrono::duration<double> passed = now - FLast;
  FLast = now;
  FTokens = std::min(ACCEPT_BURST, FTokens + passed.count() * ACCEPT_PER_SECOND);
  return FTokens >= 1;
}

std::chrono::milliseconds TAcceptBudget::Wait() const {
  if (FTokens >= 1) return std::chrono::milliseconds(0);
  const double ms = (1 - FTokens) * 1000 / ACCEPT_PER_SECOND;
  return std::chrono::milliseconds(static_cast<long>(ms) + 1);
}

std::filesystem::path SelfChannelPath(const std::filesystem::path& base) {
  return base.parent_path() / (base.stem().string() + ".sock");
}

}  // namespace kassiro::platform
