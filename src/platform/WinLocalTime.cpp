#include "platform/LocalTime.h"

namespace kassiro::platform {

namespace {

std::tm Epoch() {
  std::tm tm{};
  tm.tm_year = 70;
  tm.tm_mday = 1;
  return tm;
}

}  // namespace

// The C runtime's _s variants fill the caller's std::tm, so they are thread-safe.
std::tm LocalTm(std::time_t t) {
  std::tm tm{};
  return ::localtime_s(&tm, &t) == 0 ? tm : Epoch();
}

std::tm UtcTm(std::time_t t) {
  std::tm tm{};
  return ::gmtime_s(&tm, &t) == 0 ? tm : Epoch();
}

}  // namespace kassiro::platform
