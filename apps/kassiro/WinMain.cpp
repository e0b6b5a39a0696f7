// kassiro.exe: the Kassiro server as a tray program for the shop's operator on Windows.
//
// Files live beside the executable and take its name: kassiro.STG (settings record),
// kassiro.INI (code table), kassiro.log (log), and kassiro.html, the operator's guide
// that Help opens. One copy runs per folder; a second one ends silently, and
// `kassiro -Q:password` asks the running copy to quit. A logoff or shutdown saves and
// closes it without a prompt.
#include <filesystem>
#include <string>

#include "core/SelfMsgs.h"
#include "server/KassiroServer.h"
#include "server/ProgramEntry.h"
#include "util/BarDefs.h"
#include "util/PrmProc.h"
#include "winui/WinTray.h"

using namespace kassiro;

namespace {

// `kassiro -Q:password`: 0 when the running copy closes or none runs, 1 when it refused
// the password or could not be asked. A program without a console says nothing more.
int SendQuit(const std::filesystem::path& exe, const std::string& password) {
  TSelfMessenger sender(exe, false);
  std::string answer;
  switch (sender.Request(SM_QUIT, password, answer, 10000)) {
    case TSendResult::NoListener:
      return 0;
    case TSendResult::Sent:
      return answer == QUIT_WRONG_PASSWORD ? 1 : 0;
    default:
      return 1;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::filesystem::path exe = ExecutablePath();
  const TParamList params(argc, argv);
  std::string password;
  if (params.HasParam("Q", password)) return SendQuit(exe, password);
  TKassiroServer server(exe);
  if (const auto refused = RefuseToRun(server)) return *refused;  // 0: another copy runs
  TSelfMessenger messenger(exe);

  RaisePriority();
  InitRegionalSettings();

  std::filesystem::path guide = exe;
  winui::TWinTray tray(server, guide.replace_extension(".html"));
  tray.FormCreate();
  tray.ListenTo(messenger);
  return tray.Run();
}
