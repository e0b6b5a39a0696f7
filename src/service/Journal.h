// Under systemd, every line of the program's log also goes to the journal with a
// priority, so `journalctl -u kassirod` shows it; the log file stays as it is.
#pragma once

#include <string_view>

#include "core/LogFile.h"

namespace kassiro {

// True when the service manager started this process (it set INVOCATION_ID or
// connected our output to the journal).
bool UnderSystemd();
// The journal priority (syslog levels 0..7) of a log line: from its modes when it has
// any, else from what the text reports (a failure, an error, or news).
int JournalPriority(std::string_view text, TLogModes modes);
// Makes the program's log hand every line to the journal, tagged with the program name.
void MirrorLogToJournal(std::string_view identifier);

}  // namespace kassiro
