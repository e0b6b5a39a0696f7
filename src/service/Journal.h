// Under a service manager, every line of the program's log also goes to the journal with
// a priority, so `journalctl -u kassirod` shows it; the log file stays as it is.
#pragma once

#include <string_view>

#include "core/LogFile.h"
#include "platform/Journal.h"

namespace kassiro {

// The journal level of a log line: from its modes when it has any, else from what the
// text reports (a failure, an error, or news).
platform::TJournalLevel JournalPriority(std::string_view text, TLogModes modes);
// Makes the program's log hand every line to the journal, tagged with the program name.
void MirrorLogToJournal(std::string_view identifier);

}  // namespace kassiro
