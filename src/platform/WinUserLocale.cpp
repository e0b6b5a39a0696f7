#include "platform/UserLocale.h"

#include <windows.h>

#include <string>

#include "platform/WinText.h"
#include "util/LangTbl.h"

namespace kassiro::platform {

namespace {

// A separator holds at most 5 characters.
constexpr int MAX_SEPARATOR = 5;

std::string Separator(LCTYPE item) {
  wchar_t text[16] = {};
  const int n = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, item, text, static_cast<int>(std::size(text)));
  if (n <= 1) return ".";  // none, or only the terminating zero
  return ToUtf8(std::wstring_view(text, static_cast<std::size_t>(std::min(n - 1, MAX_SEPARATOR))));
}

}  // namespace

TUserLocale ReadUserLocale() {
  TUserLocale result;
  result.MonDecimalSep = Separator(LOCALE_SMONDECIMALSEP);
  result.DecimalSep = Separator(LOCALE_SDECIMAL);
  return result;
}

const TUserLocale& UserLocale() {
  static const TUserLocale locale = ReadUserLocale();
  return locale;
}

int GetLocalLanguageID() { return LanguageNumberForID(::GetUserDefaultLangID()); }

}  // namespace kassiro::platform
