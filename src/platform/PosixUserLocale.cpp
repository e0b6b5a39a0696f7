#include "platform/UserLocale.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "util/LangTbl.h"

namespace kassiro::platform {

namespace {

constexpr std::size_t MAX_SEPARATOR = 5;

std::string SeparatorOrDot(const char* sep) {
  if (sep == nullptr || *sep == '\0') return ".";
  return std::string(std::string_view(sep).substr(0, MAX_SEPARATOR));
}

std::string_view FirstNonEmptyEnv(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace

TUserLocale ReadUserLocale() {
  TUserLocale result;
  // A private locale object: the process locale stays "C".
  locale_t loc = newlocale(LC_MONETARY_MASK | LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return result;
  result.MonDecimalSep = SeparatorOrDot(nl_langinfo_l(MON_DECIMAL_POINT, loc));
  result.DecimalSep = SeparatorOrDot(nl_langinfo_l(DECIMAL_POINT, loc));
  freelocale(loc);
  return result;
}

const TUserLocale& UserLocale() {
  static const TUserLocale locale = ReadUserLocale();
  return locale;
}

int GetLocalLanguageID() {
  return LanguageIDForLocale(FirstNonEmptyEnv({"LC_ALL", "LC_MESSAGES", "LANG"}));
}

}  // namespace kassiro::platform
