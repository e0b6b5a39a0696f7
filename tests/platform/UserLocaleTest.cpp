#include "platform/UserLocale.h"

#include <gtest/gtest.h>

#include <clocale>

#include "ScopedEnv.h"

namespace kassiro::platform {
namespace {

using test::ScopedEnv;

// Windows reads the user's locale from its own settings, not from the environment; the
// program's start under Wine reads it there (the end-to-end test under Wine).
#ifndef _WIN32

TEST(UserLocale, FallsBackToThePointForCAndUnknownLocales) {
  for (const char* name : {"C", "POSIX", "xx_NOWHERE.UTF-8"}) {
    SCOPED_TRACE(name);
    ScopedEnv all("LC_ALL", name);
    const TUserLocale loc = ReadUserLocale();
    EXPECT_EQ(loc.MonDecimalSep, ".");  // C has an empty monetary separator
    EXPECT_EQ(loc.DecimalSep, ".");
  }
  // The process locale is left alone.
  EXPECT_STREQ(::setlocale(LC_ALL, nullptr), "C");
}

TEST(Languages, GetLocalLanguageIDTakesTheFirstNonEmptyOfLcAllLcMessagesLang) {
  struct Case {
    const char* all;
    const char* messages;
    const char* lang;
    int table;
  };
  const Case cases[] = {
      {nullptr, nullptr, "pl_PL.UTF-8", 3}, {"mk_MK", "lt_LT", "pl_PL", 4},
      {"", "lt_LT", "pl_PL", 2},            {nullptr, "", "sr_RS@latin", 6},
      {nullptr, nullptr, nullptr, 1},       {"", "", "", 1},
      {"C", "pl_PL", "pl_PL", 1},
  };
  for (const Case& tc : cases) {
    ScopedEnv all("LC_ALL", tc.all);
    ScopedEnv messages("LC_MESSAGES", tc.messages);
    ScopedEnv lang("LANG", tc.lang);
    EXPECT_EQ(GetLocalLanguageID(), tc.table)
        << (tc.all ? tc.all : "-") << " " << (tc.messages ? tc.messages : "-") << " "
        << (tc.lang ? tc.lang : "-");
  }
}

#endif

}  // namespace
}  // namespace kassiro::platform
