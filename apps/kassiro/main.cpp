// kassiro: the Kassiro server as a tray application for the shop's operator.
//
// Files live beside the executable and take its name: kassiro.STG (settings record),
// kassiro.INI (code table), kassiro.log (log). The operator's guide shown by Help is
// kassiro.md beside it, or, installed, the guide in the documentation folder. One copy runs per installation; a second one ends silently, and
// `kassiro -Q:password` asks the running copy to quit. SIGTERM and SIGINT (a desktop
// logout) close it like an accepted remote quit, and so does SIGHUP (its terminal gone).
#include <clocale>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string_view>
#include <string>

#include <QApplication>

#include "core/SelfMsgs.h"
#include "platform/StopEvents.h"
#include "server/KassiroServer.h"
#include "server/ProgramEntry.h"
#include "Version.h"
#include "ui/TrayMain.h"
#include "operator/GuidePath.h"
#include "util/BarDefs.h"
#include "util/PrmProc.h"

using namespace kassiro;

namespace {

const op::TGuidePlaces GUIDE_PLACES{KASSIRO_GUIDE_FROM_BIN, KASSIRO_GUIDE_INSTALLED};

// --help and --version, answered without a desktop; the exit code when one was given.
std::optional<int> AnswerHelpOrVersion(int argc, char* argv[], const std::filesystem::path& exe) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      const std::filesystem::path guide = op::FindGuide(exe, GUIDE_PLACES);
      std::error_code ec;
      std::cout << "Usage: kassiro [-Q:PASSWORD] | --help | --version\n\n"
                   "The Kassiro server for electronic cash registers as a tray program: an icon\n"
                   "beside the clock, its menu, the status window and the settings dialogs.\n"
                   "Its files lie beside it: kassiro.STG, kassiro.INI, kassiro.log.\n\n"
                   "  -Q:PASSWORD  ask the running copy to quit\n\n"
                   "Operator's guide: "
                << guide.string() << (std::filesystem::is_regular_file(guide, ec) ? "" : " (missing)") << "\n";
      return 0;
    }
    if (a == "--version") {
      std::cout << "kassiro " << VERSION_TEXT << std::endl;
      return 0;
    }
  }
  return std::nullopt;
}

// `kassiro -Q:password`: 0 when the running copy closes or none runs, 1 when it refused
// the password or could not be asked.
int SendQuit(const std::filesystem::path& exe, const std::string& password) {
  TSelfMessenger sender(exe, false);
  std::string answer;
  switch (sender.Request(SM_QUIT, password, answer, 10000)) {
    case TSendResult::NoListener:
      return 0;
    case TSendResult::Sent:
      if (answer != QUIT_WRONG_PASSWORD) return 0;
      std::cerr << "kassiro: wrong password: the running copy goes on." << std::endl;
      return 1;
    case TSendResult::OtherUser:
      std::cerr << "kassiro: the quit request was not sent: its channel " << sender.ChannelName()
                << " is held by another user (uid " << sender.ListenerUid() << ")." << std::endl;
      return 1;
    default:
      std::cerr << "kassiro: the quit request could not be sent or was not answered." << std::endl;
      return 1;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  // First: held in every thread, the stop events are taken by the event loop later.
  platform::HoldStopEvents();

  const std::filesystem::path exe = ExecutablePath();
  if (const auto done = AnswerHelpOrVersion(argc, argv, exe)) return *done;
  const TParamList params(argc, argv);
  std::string password;
  if (params.HasParam("Q", password)) return SendQuit(exe, password);
  TKassiroServer server(exe);
  if (const auto refused = RefuseToRun(server)) return *refused;  // 0: another copy runs
  TSelfMessenger messenger(exe);

  RaisePriority();
  QApplication app(argc, argv);
  // Qt takes the user's locale for the C library; the server's number formats stay "C".
  std::setlocale(LC_NUMERIC, "C");
  InitRegionalSettings();
  QApplication::setQuitOnLastWindowClosed(false);  // closing a window never ends the program

  ui::TfmMain fmMain(server, op::FindGuide(exe, GUIDE_PLACES));
  QObject::connect(&fmMain, &ui::TfmMain::closed, &app, &QApplication::quit, Qt::QueuedConnection);

  // Every stop event closes the tray, a restart too: its terminal or session is gone.
  const platform::TStopEvents stopEvents(platform::CLOSE_AND_RESTART, [&fmMain](platform::TStopEvent) {
    QMetaObject::invokeMethod(&fmMain, [&fmMain] { fmMain.CloseWithoutPrompt(); }, Qt::QueuedConnection);
  });

  fmMain.FormCreate();
  fmMain.ListenTo(messenger);
  if (server.Started()) {
    std::cout << server.Title() << " started on " << server.PortName() << ". Clients connect on TCP port "
              << server.ListeningPort() << "." << std::endl;
  } else {
    std::cout << server.Title() << " stopped: the serial port could not be opened." << std::endl;
  }
  return QApplication::exec();
}
