#include "server/ProgramEntry.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "core/LogFile.h"
#include "platform/Process.h"
#include "server/KassiroServer.h"
#include "platform/OwnFile.h"

namespace kassiro {

namespace {

// As ssh does for its keys: another user who may write into the folder may put links or
// FIFOs in place of the server's files. They are refused when opened; this says why the
// folder invites it.
void WarnOfOpenFolder(const std::filesystem::path& folder) {
  const auto mode = platform::OpenToOthers(folder);
  if (!mode) return;
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(*mode));
  const std::string warning = "Warning: the folder " + folder.string() + " (mode " + octal +
                              ") may be written by other users; they could replace the server's files in it.";
  std::cerr << warning << std::endl;
  LogAddLine(warning);
}

}  // namespace

std::optional<int> RefuseToRun(TKassiroServer& server) {
  TSettingsFile& inis = server.ServerInis();
  if (inis.Unique()) {
    WarnOfOpenFolder(inis.FileName().parent_path());
    return std::nullopt;
  }
  if (inis.HeldByAnother()) return 0;
  const std::string why = inis.OpenFailure();
  std::cerr << why << std::endl;
  LogAddLine(why);
  return 1;
}

void RaisePriority() {
  if (const auto error = platform::RaiseProcessPriority())
    LogAddLine("SetPriorityClass fail ! LastError=" + std::to_string(error.value()));
}

}  // namespace kassiro
