#include <cctype>
#include <tuple>

#include "platform/SerialPort.h"
#include "util/WholeNumber.h"

namespace kassiro::platform {

namespace {

// "COM10" -> ("COM", 10); a name without a trailing number has -1.
std::tuple<std::string_view, long> SplitNumber(std::string_view name) {
  std::size_t i = name.size();
  while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
  return {name.substr(0, i), WholeNumber<long>(name.substr(i)).value_or(-1)};
}

}  // namespace

bool PortNameLess(std::string_view a, std::string_view b) { return SplitNumber(a) < SplitNumber(b); }

}  // namespace kassiro::platform
