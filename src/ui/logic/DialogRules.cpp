#include "ui/logic/DialogRules.h"

#include <algorithm>
#include <limits>

#include "util/WholeNumber.h"

namespace kassiro::ui {

namespace {

// A whole decimal number with an optional sign, surrounding blanks allowed.
std::optional<std::int64_t> ParseDecimal(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (!text.empty() && text.front() == '+') return std::nullopt;
  return WholeNumber<std::int64_t>(text);
}

}  // namespace

std::string StoredPassword(std::string_view typed) {
  return std::string(typed.substr(0, PW_LEN));
}

void ApplySetPassword(TIniStru& ini, int setNo, std::string_view typed) {
  ini.SetPW[static_cast<std::size_t>(setNo)] = StoredPassword(typed);
}

TOffsetResult ParseOffset(std::string_view text) {
  const auto v = ParseDecimal(text);
  // A number beyond 32 bits is no number the offset can hold: it counts as 0, too.
  if (!v || *v > std::numeric_limits<std::int32_t>::max() ||
      *v < std::numeric_limits<std::int32_t>::min() || *v == 0)
    return {TOffsetVerdict::BadNumber, 0};
  if (*v < 0) return {TOffsetVerdict::RangeError, 0};
  return {TOffsetVerdict::Store, static_cast<std::int32_t>(*v)};
}

std::size_t SpeedIndex(std::uint16_t speed) {
  const auto at = std::find(SPEEDS_LIST.begin(), SPEEDS_LIST.end(), speed);
  const auto fallback = std::find(SPEEDS_LIST.begin(), SPEEDS_LIST.end(), FALLBACK_SPEED);
  return static_cast<std::size_t>((at != SPEEDS_LIST.end() ? at : fallback) - SPEEDS_LIST.begin());
}

TIPPortResult ParseIPPort(std::string_view text, std::uint16_t current) {
  const auto v = ParseDecimal(text);
  if (!v) return {TIPPortVerdict::Store, current};
  if (*v < 0 || *v > 65535) return {TIPPortVerdict::RangeError, current};
  return {TIPPortVerdict::Store, static_cast<std::uint16_t>(*v)};
}

std::string StoredPortName(std::string_view chosen) {
  return std::string(chosen.substr(0, decltype(TIniStru::ComPortName)::capacity));
}

std::optional<int> ChosenCodeTable(int current, int selectedIndex) {
  if (selectedIndex < 0 || selectedIndex + 1 == current) return std::nullopt;
  return selectedIndex + 1;
}

}  // namespace kassiro::ui
