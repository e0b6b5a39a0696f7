#include "server/ProgramEntry.h"

#include <sys/resource.h>

#include <cerrno>
#include <iostream>
#include <string>

#include "core/LogFile.h"
#include "server/KassiroServer.h"

namespace kassiro {

std::optional<int> RefuseToRun(TKassiroServer& server) {
  TSettingsFile& inis = server.ServerInis();
  if (inis.Unique()) return std::nullopt;
  if (inis.HeldByAnother()) return 0;
  const std::string why = inis.OpenFailure();
  std::cerr << why << std::endl;
  LogAddLine(why);
  return 1;
}

void RaisePriority() {
  if (::setpriority(PRIO_PROCESS, 0, -20) != 0)
    LogAddLine("SetPriorityClass fail ! LastError=" + std::to_string(errno));
}

}  // namespace kassiro
