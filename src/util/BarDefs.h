// Field strings and numbers: building and taking apart the ';'-terminated field
// strings of client messages and ECR blocks, and reading the decimal numbers in them.
// Every number the system formats or parses uses '.' as decimal point, whatever the
// process locale is; only the fallback of StrToCurrDef/StrToFloatDef looks at the
// user's locale, through TUserLocale.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "util/ShortStr.h"

namespace kassiro {

// Fixed-point currency: a signed 64-bit count of ten-thousandths.
using Currency = std::int64_t;
inline constexpr Currency CURRENCY_SCALE = 10000;

// The process-wide number formats are fixed ('.' as decimal point); the code never
// consults the global C or C++ locale for numbers, so this only documents the start.
void InitRegionalSettings();

// The decimal separators of the user's locale (platform/UserLocale.h reads them from the
// system).
struct TUserLocale {
  std::string MonDecimalSep = ".";
  std::string DecimalSep = ".";
};

ShortStr MakeString(std::uint8_t St, std::uint8_t Cop, std::uint8_t Prt, std::uint8_t Ecr,
                    std::uint8_t Err, std::string_view Str);
// Head bytes beyond the end of a short source read as 0; the text is then empty.
void DispatchString(std::string_view source, std::uint8_t& st, std::uint8_t& t,
                    std::uint8_t& p, std::uint8_t& c, std::uint8_t& e, ShortStr& s);

ShortStr GetParam(std::string_view s, int ind);
ShortStr ExtractParam(ShortStr& s, int ind);
void InsertParam(ShortStr& s, std::string_view par, int ind);
ShortStr AddPoint(std::string_view s, int place);
ShortStr RemPoint(std::string_view s);

// Strict parse of "[spaces][sign]digits[.digits][spaces]" with decSep as decimal point
// ("5." and ".5" parse, "" and "." don't), rounded to the nearest 0.0001 (halves away
// from zero), without binary floating point; nullopt outside the Currency range.
std::optional<Currency> ParseCurrency(std::string_view s, std::string_view decSep = ".");
Currency StrToCurrDef(std::string_view S, Currency Def, const TUserLocale& loc);
// DecSep '0' stands for the process-wide separator '.'.
double StrToFloatDef(std::string_view S, char DecSep, double Def,
                     const TUserLocale& loc);

// Formats a currency with a fixed number of decimals (0..4) and '.' as point, rounding
// half away from zero: CurrToStr(50000, 2) == "5.00".
std::string CurrToStr(Currency value, int decimals);

// Decimal integer of a field, or def when it is not a valid integer: an optional '-' or
// '+' and one or more decimal digits, nothing else (no blanks), within the int64 range.
std::int64_t StrToIntDef(std::string_view s, std::int64_t def = 0);

// A serial number field as the settings record stores it: 0 when the field is not a
// valid integer or does not fit the record's signed 32 bits.
inline std::int32_t SerialNumberOf(std::string_view field) {
  const std::int64_t n = StrToIntDef(field, 0);
  if (n < std::numeric_limits<std::int32_t>::min() ||
      n > std::numeric_limits<std::int32_t>::max()) {
    return 0;
  }
  return static_cast<std::int32_t>(n);
}

}  // namespace kassiro
