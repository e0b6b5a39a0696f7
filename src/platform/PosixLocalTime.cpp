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

std::tm LocalTm(std::time_t t) {
  std::tm tm{};
  return localtime_r(&t, &tm) != nullptr ? tm : Epoch();
}

std::tm UtcTm(std::time_t t) {
  std::tm tm{};
  return gmtime_r(&t, &tm) != nullptr ? tm : Epoch();
}

}  // namespace kassiro::platform
