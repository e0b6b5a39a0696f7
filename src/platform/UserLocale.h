#pragma once
// The user's regional settings as the system holds them: the decimal separators that
// numbers typed by a person may carry, and the language that picks the default code
// table. The program's own formats never follow them (util/BarDefs.h).
//
// On POSIX they come from the environment's locale (LC_ALL, LC_MONETARY, LC_NUMERIC,
// LC_MESSAGES, LANG); on Windows from the user's locale (GetLocaleInfoEx,
// GetUserDefaultLangID).

#include "util/BarDefs.h"

namespace kassiro::platform {

// The separators, read now; "." for a locale without one. The process's own locale is
// left alone.
TUserLocale ReadUserLocale();

// The same, read once for the process.
const TUserLocale& UserLocale();

// The code table (1..6) whose language is the user's; 1 when none is.
int GetLocalLanguageID();

}  // namespace kassiro::platform
