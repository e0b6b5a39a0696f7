#include "util/BarDefs.h"

#include <algorithm>
#include <array>
#include <limits>

namespace kassiro {

namespace {

constexpr std::string_view PROCESS_DECIMAL_SEP = ".";
// The user's separators are read up to this many bytes.
constexpr std::size_t MAX_LOCALE_SEP = 5;

constexpr std::size_t HEAD_SIZE = 5;

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// Every occurrence of `from` in s (ASCII case-insensitive) replaced by `to`.
std::string ReplaceAllNoCase(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    if (!from.empty() && EqualNoCase(s.substr(i, from.size()), from)) {
      out.append(to);
      i += from.size();
    } else {
      out.push_back(s[i++]);
    }
  }
  return out;
}

std::string_view TrimBlanks(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Magnitude accumulator in ten-thousandths with overflow detection.
struct TCurrencyDigits {
  std::uint64_t magnitude = 0;
  bool overflow = false;

  void AddScaled(unsigned digit, std::uint64_t scale) {
    constexpr auto MAX = std::numeric_limits<std::uint64_t>::max();
    if (digit == 0 || overflow) return;
    if (scale > MAX / digit || magnitude > MAX - digit * scale) {
      overflow = true;
      return;
    }
    magnitude += digit * scale;
  }
  void ShiftInteger(unsigned digit) {  // magnitude := magnitude * 10 + digit * 10^4
    constexpr auto MAX = std::numeric_limits<std::uint64_t>::max();
    if (overflow) return;
    if (magnitude > MAX / 10) {
      overflow = true;
      return;
    }
    magnitude *= 10;
    AddScaled(digit, CURRENCY_SCALE);
  }
};

std::optional<Currency> ToCurrency(const TCurrencyDigits& d, bool negative) {
  constexpr std::uint64_t MAX_POS = std::numeric_limits<Currency>::max();
  if (d.overflow || d.magnitude > MAX_POS + (negative ? 1 : 0)) return std::nullopt;
  if (!negative) return static_cast<Currency>(d.magnitude);
  if (d.magnitude == MAX_POS + 1) return std::numeric_limits<Currency>::min();
  return -static_cast<Currency>(d.magnitude);
}

// Parses with the process-wide separator, then with the user's separator replaced by
// `replacement`, which is then parsed with the process-wide separator again.
std::optional<Currency> ParseWithFallback(std::string_view s, std::string_view userSep,
                                          std::string_view replacement) {
  if (auto v = ParseCurrency(s, PROCESS_DECIMAL_SEP)) return v;
  userSep = userSep.substr(0, MAX_LOCALE_SEP);
  if (userSep.empty()) return std::nullopt;
  return ParseCurrency(ReplaceAllNoCase(s, userSep, replacement), PROCESS_DECIMAL_SEP);
}

}  // namespace

void InitRegionalSettings() {
  // Numbers are formatted and parsed by this module with '.' as the decimal point and
  // dates by the log with "dd.mm.yyyy" / "hh:mm:ss"; none of it reads the C or C++
  // global locale, so there is nothing to set for the process.
}

ShortStr MakeString(std::uint8_t St, std::uint8_t Cop, std::uint8_t Prt, std::uint8_t Ecr,
                    std::uint8_t Err, std::string_view Str) {
  ShortStr out;
  for (std::uint8_t b : {St, Cop, Prt, Ecr, Err}) out.push_back(static_cast<char>(b));
  out.append(Str);
  return out;
}

void DispatchString(std::string_view source, std::uint8_t& st, std::uint8_t& t,
                    std::uint8_t& p, std::uint8_t& c, std::uint8_t& e, ShortStr& s) {
  std::array<std::uint8_t, HEAD_SIZE> head{};
  for (std::size_t i = 0; i < HEAD_SIZE && i < source.size(); ++i) {
    head[i] = static_cast<std::uint8_t>(source[i]);
  }
  st = head[0];
  t = head[1];
  p = head[2];
  c = head[3];
  e = head[4];
  s = source.size() > HEAD_SIZE ? ShortStr(source.substr(HEAD_SIZE)) : ShortStr();
}

ShortStr GetParam(std::string_view s, int ind) {
  ShortStr result;
  std::size_t from = 0;
  for (int i = 0; i < ind; ++i) {
    const std::size_t semi = s.find(';', from);
    if (semi == std::string_view::npos) return {};
    result = s.substr(from, semi - from);
    from = semi + 1;
  }
  return result;
}

ShortStr ExtractParam(ShortStr& s, int ind) {
  std::size_t begin = 0;
  int count = 0;
  for (std::size_t pos = 0; pos < s.size(); ++pos) {
    if (s[pos] != ';') continue;
    if (++count == ind) {
      ShortStr field = s.substr(begin, pos - begin);
      s.erase(begin, pos - begin + 1);
      return field;
    }
    begin = pos + 1;
  }
  return {};
}

void InsertParam(ShortStr& s, std::string_view par, int ind) {
  int field = 1;
  for (std::size_t pos = 0; pos < s.size(); ++pos) {
    if (field == ind) {
      ShortStr out(s.view().substr(0, pos));
      out.append(par).append(";").append(s.view().substr(pos));
      s = out;
      return;
    }
    if (s[pos] == ';') ++field;
  }
  // Behind the last field: the new field is appended, its terminator always kept.
  BasicShortStr<254> joined(s.view());
  joined.append(par);
  s = ShortStr(joined.view()) + ';';
}

ShortStr AddPoint(std::string_view s, int place) {
  ShortStr out(s);
  if (out.find('.') != ShortStr::npos) return out;
  const auto len = static_cast<std::ptrdiff_t>(out.size());
  const std::ptrdiff_t pos = std::clamp<std::ptrdiff_t>(len - place, 0, len);
  out.insert(static_cast<std::size_t>(pos), ".");
  return out;
}

ShortStr RemPoint(std::string_view s) {
  ShortStr out(s);
  const std::size_t dot = out.find('.');
  if (dot != ShortStr::npos) out.erase(dot, 1);
  return out;
}

std::optional<Currency> ParseCurrency(std::string_view s, std::string_view decSep) {
  s = TrimBlanks(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  TCurrencyDigits value;
  bool anyDigit = false;
  bool inFraction = false;
  std::uint64_t fractionScale = CURRENCY_SCALE;  // weight of the next decimal, in 1/10000
  bool roundUp = false;
  while (!s.empty()) {
    if (!inFraction && !decSep.empty() && s.starts_with(decSep)) {
      inFraction = true;
      s.remove_prefix(decSep.size());
      continue;
    }
    if (!IsDigit(s.front())) return std::nullopt;
    const auto digit = static_cast<unsigned>(s.front() - '0');
    s.remove_prefix(1);
    anyDigit = true;
    if (!inFraction) {
      value.ShiftInteger(digit);
    } else if (fractionScale > 1) {
      fractionScale /= 10;
      value.AddScaled(digit, fractionScale);
    } else if (fractionScale == 1) {
      roundUp = digit >= 5;  // the fifth decimal decides, halves away from zero
      fractionScale = 0;
    }
  }
  if (!anyDigit) return std::nullopt;
  if (roundUp) value.AddScaled(1, 1);
  return ToCurrency(value, negative);
}

Currency StrToCurrDef(std::string_view S, Currency Def, const TUserLocale& loc) {
  return ParseWithFallback(S, loc.MonDecimalSep, PROCESS_DECIMAL_SEP).value_or(Def);
}

double StrToFloatDef(std::string_view S, char DecSep, double Def, const TUserLocale& loc) {
  const std::string replacement =
      DecSep == '0' ? std::string(PROCESS_DECIMAL_SEP) : std::string(1, DecSep);
  const auto v = ParseWithFallback(S, loc.DecimalSep, replacement);
  if (!v) return Def;
  return static_cast<double>(*v) / static_cast<double>(CURRENCY_SCALE);
}

std::string CurrToStr(Currency value, int decimals) {
  decimals = std::clamp(decimals, 0, 4);
  std::uint64_t divisor = 1;
  for (int i = decimals; i < 4; ++i) divisor *= 10;
  std::uint64_t decimalsScale = 1;
  for (int i = 0; i < decimals; ++i) decimalsScale *= 10;

  const bool negative = value < 0;
  const auto raw = static_cast<std::uint64_t>(value);
  const std::uint64_t magnitude = negative ? std::uint64_t{0} - raw : raw;
  std::uint64_t units = magnitude / divisor;  // in 10^-decimals
  if ((magnitude % divisor) * 2 >= divisor) ++units;  // half away from zero

  std::string out = (negative && units != 0) ? "-" : "";
  out += std::to_string(units / decimalsScale);
  if (decimals > 0) {
    std::string frac = std::to_string(units % decimalsScale);
    out += '.';
    out.append(static_cast<std::size_t>(decimals) - frac.size(), '0');
    out += frac;
  }
  return out;
}

std::int64_t StrToIntDef(std::string_view s, std::int64_t def) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return def;
  constexpr std::uint64_t MAX_POS = std::numeric_limits<std::int64_t>::max();
  const std::uint64_t limit = MAX_POS + (negative ? 1 : 0);
  std::uint64_t magnitude = 0;
  for (char ch : s) {
    if (!IsDigit(ch)) return def;
    const auto digit = static_cast<std::uint64_t>(ch - '0');
    if (magnitude > (limit - digit) / 10) return def;
    magnitude = magnitude * 10 + digit;
  }
  if (!negative) return static_cast<std::int64_t>(magnitude);
  if (magnitude == MAX_POS + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

}  // namespace kassiro
