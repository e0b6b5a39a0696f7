// The steps that both programs, kassirod and the tray application, take on their way in:
// one running copy per settings file, and the raised priority of the process.
#pragma once

#include <optional>

namespace kassiro {

class TKassiroServer;

// Empty when this copy holds the settings file and may run (with a warning on stderr and
// in the log when other users may write into its folder). Otherwise the exit status:
// 0 when another copy holds the file (it ends silently), 1 when the file could not be
// opened at all (the reason is printed on stderr and logged).
std::optional<int> RefuseToRun(TKassiroServer& server);

// As far as the system allows: a process without the right to raise its priority logs
// the failure and runs on.
void RaisePriority();

}  // namespace kassiro
