// kassirod: the headless Kassiro server.
//
// Files live beside the executable, or in the folder given with -Dir, and take the
// program's name: kassirod.STG (settings record) and kassirod.STB (its copy),
// kassirod.INI (code table), kassirod.log and kassirod.LO0 (log). SIGTERM and SIGINT
// close the server like an accepted remote quit; SIGHUP stops and starts it again, so
// changed settings take effect. A signal that comes while the server starts is handled
// once it runs. A later copy asks the running one of the same folder to quit (-Q), for
// its status (-Status) or for a line trace (-Trace). Under systemd it reports its state
// to the service manager and its log lines also go to the journal.
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <optional>
#include <iostream>
#include <string>

// After a standard header: Asio chooses how it allocates handler memory from the
// standard library's configuration macros, and every file must make the same choice
// (with Asio first it pairs operator new here with free() in the TCP server's loop).
#include <asio.hpp>

#include "operator/ServerFacade.h"
#include "operator/SettingsRules.h"
#include "server/KassiroServer.h"
#include "server/ProgramEntry.h"
#include "core/LogFile.h"
#include "core/SelfMsgs.h"
#include "platform/Journal.h"
#include "platform/SerialPort.h"
#include "platform/Service.h"
#include "platform/StopEvents.h"
#include "ecrlink/SerialPort.h"
#include "util/BarDefs.h"
#include "util/PrmProc.h"
#include "Requests.h"
#include "service/Journal.h"
#include "service/StatusReport.h"
#include "service/TraceRequest.h"

namespace {

using namespace kassiro;

// The stop events the server takes: a pause comes from a service manager only.
constexpr platform::TStopEventKinds DAEMON_EVENTS = {platform::TStopEvent::Close, platform::TStopEvent::Restart,
                                                     platform::TStopEvent::Pause};

// "" when the name leads to a character device, else why not.
std::string PortProblem(const std::string& name) {
  if (name.empty()) return " (no port name)";
  if (!platform::IsPortDevice(name)) return " (no such device)";
  return {};
}

// The settings that a headless server takes from its command line in place of the
// tray's dialogs, by the dialogs' rules (operator/SettingsRules.h). Every one is checked
// before anything is stored (a stored speed or port that the line refuses would fail
// every later start too); then they are stored in the settings files before the start.
bool ApplySettingParams(op::TServerFacade& server, const TParamList& params, std::string& error) {
  op::TParamSettings settings;
  for (std::size_t i = 0; i < params.Count(); ++i) {
    const TParItem& p = params.Items(i);
    if (IsRunParameter(p.Name)) continue;
    if (const auto why = op::TakeSettingParam(p.Name, p.Val, PortProblem, settings)) {
      error = "Bad parameter: " + (p.Name.empty() ? std::string("(empty)") : p.Name) +
              (p.Val.empty() ? "" : ":" + p.Val) + *why;
      return false;
    }
  }
  // Stored only once every parameter was accepted: a refused command line changes nothing.
  server.LoadSettings();
  if (settings.PortOverride) server.Server().SetPortOverride(*settings.PortOverride);
  if (!settings.Edit.Empty()) {
    server.EditSettings(settings.Edit);
    server.SaveSettings();
  }
  TKassiroServer& s = server.Server();
  if (settings.LanguageID) s.SetLanguageID(*settings.LanguageID);
  if (settings.Listen) s.SetListenSetting(*settings.Listen);
  if (settings.Allow) s.SetAllowSetting(*settings.Allow);
  if (settings.JournalDays) s.SetJournalDays(*settings.JournalDays);
  if (settings.LanguageID || settings.Listen || settings.Allow || settings.JournalDays) s.SaveToIniFile();
  return true;
}

// The line that tells where clients connect, or why they cannot.
std::string ClientsText(const TKassiroServer& server) {
  if (server.ListeningPort() != 0) {
    return "Clients connect on TCP port " + std::to_string(server.ListeningPort()) + ".";
  }
  return "TCP port " + std::to_string(server.ConfiguredTcpPort()) +
         " could not be opened: " + server.TcpFailure().message() + ".";
}

// What the service manager shows beside the unit's state.
std::string ServiceStatus(const TKassiroServer& server) {
  return "Polling on " + server.PortName() + ". " + ClientsText(server);
}

class TDaemon {
 public:
  explicit TDaemon(TKassiroServer& server, TSelfMessenger& messenger)
      : FServer(server),
        FMessenger(messenger),
        FMsgPause(FIo),
        // Delivered into the loop: one that came during the start is handled once it runs.
        FSignals(DAEMON_EVENTS,
                 [this](platform::TStopEvent e) { asio::post(FIo, [this, e] { OnStopEvent(e); }); }) {}

  // No call of the channel's comes into a loop that is gone.
  ~TDaemon() { FMessenger.WhenPending(nullptr); }
  TDaemon(const TDaemon&) = delete;
  TDaemon& operator=(const TDaemon&) = delete;

  // The server is up: clients can connect and the line is open.
  void Ready() { FNotify.Ready(ServiceStatus(FServer)); }

  int Run() {
    // Messages that came before the server was up are read and ignored.
    FMessenger.HandleIncoming();
    FMessenger.OnSelfEvent = [this](TSelfMessenger& m, std::int32_t id, const ShortStr& txt,
                                    bool loopBack) {
      if (id == SM_STATUS && !loopBack) {
        op::TServerFacade facade(FServer);
        const TStatusReport r = TakeStatus(facade, std::chrono::duration_cast<std::chrono::seconds>(
                                                        std::chrono::steady_clock::now() - FStarted));
        m.Reply(txt.view() == "json" ? StatusJson(r) : StatusText(r));
        return;
      }
      if (id == SM_TRACE && !loopBack) {
        m.Reply(EncodeTraceAnswer(StartLineTrace(FServer, txt.view())));
        return;
      }
      if (id == SM_QUIT && !loopBack) {
        const bool accepted = FServer.ProcessSelfMessage(id, txt, loopBack);
        m.Reply(accepted ? QUIT_ACCEPTED : QUIT_WRONG_PASSWORD);
        if (accepted) Close();
      }
    };
    WaitForMessage();
    // The loop runs until a close stops it, also while nothing but stop events can come.
    const auto work = asio::make_work_guard(FIo);
    FIo.run();  // a stop event that came during the start is handled at once
    return FExitCode;
  }

 private:
  // The stop events stay held in every thread and come through the loop: no handler
  // ever interrupts a thread, and none that came during the start is lost.
  void OnStopEvent(platform::TStopEvent e) {
    if (FIo.stopped()) return;
    if (e == platform::TStopEvent::Restart) return Restart();
    if (e == platform::TStopEvent::Pause) return Pause();
    Close();
  }

  // The channel's messages are handled in the loop, like everything else.
  void WaitForMessage() {
    FMessenger.WhenPending([this] { asio::post(FIo, [this] { TakeMessages(); }); });
  }

  void TakeMessages() {
    const auto pause = FMessenger.HandleIncoming();
    if (FIo.stopped()) return;
    if (pause.count() == 0) return WaitForMessage();
    // The channel's budget is spent: connections wait in the backlog meanwhile.
    FMsgPause.expires_after(pause);
    FMsgPause.async_wait([this](const asio::error_code& e) {
      if (!e) WaitForMessage();
    });
  }

  // The line and the clients' port are closed until a continue starts the server again;
  // the channel still answers.
  void Pause() {
    FServer.StopKassiro();
    LogAddLine("Server paused.");
    FNotify.Paused();
  }

  void Restart() {
    FNotify.Reloading();
    FServer.StopKassiro();
    try {
      FServer.StartKassiro();
      LogAddLine("Server restarted on " + FServer.PortName() + ".");
      FNotify.Ready(ServiceStatus(FServer));
    } catch (const std::exception& e) {
      std::cerr << e.what() << std::endl;
      LogAddLine(e.what());
      FExitCode = 1;
      FIo.stop();
    }
  }

  void Close() {
    FNotify.Stopping();
    for (const auto& line : CounterLines(FServer.LineStats())) LogAddLine(line);
    FServer.CloseByUser();
    FIo.stop();
  }

  TKassiroServer& FServer;
  TSelfMessenger& FMessenger;
  asio::io_context FIo;
  asio::steady_timer FMsgPause;
  platform::TServiceNotify FNotify;
  const std::chrono::steady_clock::time_point FStarted = std::chrono::steady_clock::now();
  int FExitCode = 0;
  platform::TStopEvents FSignals;  // last: gone first, so no event reaches a loop that is gone
};

// The server itself, from the settings file's lock to its stop; its exit code.
int Serve(const TParamList& params, const std::filesystem::path& exe, const std::filesystem::path& base) {
  std::string error;
  if (base != exe) BindProgramLog(base);  // before anything is logged
  if (platform::UnderServiceManager()) MirrorLogToJournal("kassirod");
  TKassiroServer server(base);
  if (const auto refused = RefuseToRun(server)) return *refused;  // 0: another copy runs

  RaisePriority();
  InitRegionalSettings();
  op::TServerFacade facade(server);
  if (!ApplySettingParams(facade, params, error)) {
    std::cerr << error << std::endl;
    return EXIT_BAD_ARGUMENTS;
  }
  // The copy that holds the settings file holds the channel too; without it no quit
  // request reaches this copy, which must be said.
  TSelfMessenger messenger(base);
  if (!messenger.Receiving()) {
    const std::string why =
        "Quit channel " + messenger.ChannelName() + " could not be set up: " + messenger.ListenError();
    LogAddLine(why);
    std::cerr << why << std::endl;
  }
  std::optional<TDaemon> daemon;
  try {
    daemon.emplace(server, messenger);  // reads the stop events once it runs
    server.StartKassiro();
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    LogAddLine(e.what());
    return 1;
  }
  char line[512];
  std::snprintf(line, sizeof line, MSG_START, server.Title().c_str(), server.PortName().c_str());
  LogAddLine(line);
  std::cout << line << " " << ClientsText(server) << std::endl;
  daemon->Ready();
  return daemon->Run();
}

}  // namespace

int main(int argc, char* argv[]) {
  platform::HoldStopEvents(DAEMON_EVENTS);  // first: until the server is up they would end it unsaved
  if (const auto done = AnswerHelpOrVersion(argc, argv)) return *done;
  const std::filesystem::path exe = ExecutablePath();
  TParamList params;
  params.Init(argc, argv);
  std::string error;
  const auto base = FilesBase(params, exe, error);
  if (!base) {
    std::cerr << error << std::endl;
    return EXIT_BAD_ARGUMENTS;
  }
  if (IsRequest(params) || IsServiceSetup(params)) {
    platform::ReleaseStopEvents(DAEMON_EVENTS);  // nothing to save: a stop event may end it at once
    return IsRequest(params) ? RunRequest(params, *base) : RunServiceSetup(params, exe, *base);
  }
  std::string service;
  if (params.HasParam("SERVICE", service)) {
    const auto code = platform::RunAsService(service.empty() ? DEFAULT_SERVICE : service,
                                             [&] { return Serve(params, exe, *base); });
    if (code) return *code;
    std::cerr << "kassirod: -Service is for the service manager's start; without it kassirod runs as a program"
              << std::endl;
    return EXIT_BAD_ARGUMENTS;
  }
  return Serve(params, exe, *base);
}
