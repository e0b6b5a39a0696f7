#include "operator/SettingsRules.h"

#include <algorithm>
#include <limits>

#include "core/ReportJournal.h"
#include "net/NetRange.h"
#include "util/LangTbl.h"
#include "util/WholeNumber.h"

namespace kassiro::op {

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

int CodeTableCount() { return LANG_COUNT; }

void ApplyEdit(const TSettingsEdit& edit, TIniStru& ini) {
  if (edit.ComPortName) ini.ComPortName = StoredPortName(*edit.ComPortName);
  if (edit.Speed) ini.Speed = *edit.Speed;
  if (edit.IPPort) ini.IPPort = *edit.IPPort;
  if (edit.Password) ini.sPassword = StoredPassword(*edit.Password);
  if (edit.GlobalBon) ini.GlobalBon = *edit.GlobalBon;
  for (const auto& [set, text] : edit.SetPasswords) ApplySetPassword(ini, set, text);
}

std::string SpeedsText() {
  std::string list;
  for (const std::uint16_t s : SPEEDS_LIST) list += (list.empty() ? "" : " ") + std::to_string(s);
  return list;
}

namespace {

bool IsListedSpeed(std::int64_t speed) {
  return std::find(SPEEDS_LIST.begin(), SPEEDS_LIST.end(), speed) != SPEEDS_LIST.end();
}

std::optional<std::int64_t> InRange(std::string_view text, std::int64_t min, std::int64_t max) {
  const auto v = ParseDecimal(text);
  if (!v || *v < min || *v > max) return std::nullopt;
  return v;
}

bool FitsPassword(std::string_view text) { return text.size() <= PW_LEN; }

using TRefusal = std::optional<std::string>;
const TRefusal ACCEPTED = std::nullopt;
const TRefusal REFUSED = std::string();

TRefusal TakeSpeed(const std::string& value, TSettingsEdit& edit) {
  const auto n = InRange(value, 1, 65535);
  if (!n) return REFUSED;
  if (!IsListedSpeed(*n)) return " (speeds: " + SpeedsText() + ")";
  edit.Speed = static_cast<std::uint16_t>(*n);
  return ACCEPTED;
}

TRefusal TakeSetPassword(const std::string& value, TSettingsEdit& edit) {
  const auto colon = value.find(':');
  if (colon == std::string::npos) return REFUSED;
  const auto set = InRange(std::string_view(value).substr(0, colon), 1, SET_COUNT);
  const std::string text = value.substr(colon + 1);
  if (!set || !FitsPassword(text)) return REFUSED;
  edit.SetPasswords.emplace_back(static_cast<int>(*set), text);
  return ACCEPTED;
}

TRefusal TakeListen(const std::string& value, TParamSettings& into) {
  const auto addr = ParseListenAddress(value);
  if (!addr.Value) return " (" + addr.Error + ")";
  into.Listen = *addr.Value ? IpText(**addr.Value) : std::string();
  return ACCEPTED;
}

TRefusal TakeAllow(const std::string& value, TParamSettings& into) {
  const auto nets = TAllowList::Parse(value);
  if (!nets.Value) return " (" + nets.Error + ")";
  into.Allow = nets.Value->Text();
  return ACCEPTED;
}

}  // namespace

std::optional<std::string> TakeSettingParam(const std::string& name, const std::string& value,
                                            const TPortProblem& portProblem, TParamSettings& into) {
  TSettingsEdit& edit = into.Edit;
  if (name == "PORT") {
    if (std::string why = portProblem(value); !why.empty()) return why;
    if (value.size() > decltype(TIniStru::ComPortName)::capacity) into.PortOverride = value;
    else edit.ComPortName = value;
    return ACCEPTED;
  }
  if (name == "SPEED") return TakeSpeed(value, edit);
  if (name == "IPPORT") {
    const auto n = InRange(value, 0, 65535);
    if (!n) return REFUSED;
    edit.IPPort = static_cast<std::uint16_t>(*n);
    return ACCEPTED;
  }
  if (name == "PASSWORD") {
    if (!FitsPassword(value)) return REFUSED;
    edit.Password = value;
    return ACCEPTED;
  }
  if (name == "OFFSET") {
    const TOffsetResult r = ParseOffset(value);
    if (r.Verdict != TOffsetVerdict::Store) return REFUSED;
    edit.GlobalBon = r.Value;
    return ACCEPTED;
  }
  if (name == "SETPW") return TakeSetPassword(value, edit);
  if (name == "LANGUAGEID") {
    const auto n = InRange(value, 1, CodeTableCount());
    if (!n) return REFUSED;
    into.LanguageID = static_cast<int>(*n);
    return ACCEPTED;
  }
  if (name == "LISTEN") return TakeListen(value, into);
  if (name == "ALLOW") return TakeAllow(value, into);
  if (name == "JOURNAL") {
    const auto days = value.empty() ? std::optional<std::int64_t>(JOURNAL_DEFAULT_DAYS) : InRange(value, 0, JOURNAL_MAX_DAYS);
    if (!days) return " (days: 0 to " + std::to_string(JOURNAL_MAX_DAYS) + ")";
    into.JournalDays = static_cast<int>(*days);
    return ACCEPTED;
  }
  return REFUSED;
}

}  // namespace kassiro::op
