// The server's start and stop, without any window: owns the TCP server, the serial
// communication object and the polling thread, wires their events to the session logic
// under the session lock, and keeps the settings file and the program INI file. The
// headless server kassirod runs one; the tray application reuses it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "core/SelfMsgs.h"
#include "core/ReportJournal.h"
#include "core/SettingsFile.h"
#include "core/TheNewDefs.h"
#include "ecrlink/BasicComObject.h"
#include "ecrlink/LineCounters.h"
#include "ecrlink/LineTrace.h"
#include "ecrlink/PolObj.h"
#include "net/SockCmps.h"
#include "session/NewSrvProcs.h"
#include "session/ReceiptFlush.h"

namespace kassiro {

inline constexpr const char* APP_NAME = "Kassiro";
inline constexpr const char* MSG_START = "%s started on %s.";

// "Kassiro v0.1.0.0 - DEBUG"
std::string ApplicationTitle();

// Makes the serial communication object for a port name and speed; tests replace it.
using TCommObjectFactory =
    std::function<std::unique_ptr<TBasicCommunicationObject>(const std::string& port, int speed)>;

class TKassiroServer {
 public:
  // Files beside exePath, named after it: ".STG", ".INI". The settings file is opened
  // and locked here (ServerInis().Unique() tells whether this copy holds it).
  explicit TKassiroServer(const std::filesystem::path& exePath,
                          TCommObjectFactory makeComm = nullptr);
  ~TKassiroServer();
  TKassiroServer(const TKassiroServer&) = delete;
  TKassiroServer& operator=(const TKassiroServer&) = delete;

  TSettingsFile& ServerInis() { return FServerInis; }
  Session& GetSession() { return FSession; }
  const std::string& Title() const { return FTitle; }
  bool Started() const { return FServerStatred; }
  int LanguageID() const { return FLanguageID; }
  std::uint16_t ListeningPort() const;  // the TCP port actually bound (0 while stopped)
  std::string PortName() const;         // the serial port in use ("" while stopped)
  int LineSpeed() const;                // its speed in bit/s (0 while stopped)
  // The trace file beside the other files: ".trace".
  std::filesystem::path TracePath() const { return FileBeside(".trace"); }
  std::size_t ClientCount() { return IPServer.ClientCount(); }
  // The line's counters per ECR since the program started.
  const TLineStats& LineStats() const { return FLineStats; }
  // The trace of the line's bytes, run on request; it lasts across stops and starts.
  TLineTrace& LineTrace() { return FLineTrace; }
  std::uint16_t ConfiguredTcpPort() const { return IPServer.LocalPort(); }
  // Why the TCP port could not be opened at the last start (empty when it was).
  std::error_code TcpFailure() const { return IPServer.EnableError(); }

  // Reads the INI value and the settings record, enables the TCP server, opens the
  // serial line and starts polling. A port that can't be opened or configured throws
  // ECommError after everything started so far has been stopped again.
  void StartKassiro();
  // Stops polling (closing the line), drops every client and clears the shared records.
  void StopKassiro();
  // The close of the program: saves the settings, stops, writes the closing log line.
  void CloseByUser();
  // Writes the settings record as it is now and returns once it is on disk; in order
  // with the stores of drawn receipt numbers, so it never puts an older counter back.
  void StoreSettings() { FFlush.StoreNow(); }

  void LoadFromIniFile();
  // Writes LanguageID, and the TCP server's Listen and Allow once they were set here.
  void SaveToIniFile();
  void SetLanguageID(int id) { FLanguageID = id; }
  // The TCP server's local address and allowed clients as the INI file holds them
  // (checked at every start; a bad one falls back to the loopback addresses).
  const std::string& ListenSetting() const { return FListenSetting; }
  const std::string& AllowSetting() const { return FAllowSetting; }
  void SetListenSetting(std::string text);
  void SetAllowSetting(std::string text);
  // The days the report journal keeps (0: none), as the INI file holds them; used from
  // the next start.
  int JournalDays() const { return FJournalDays; }
  void SetJournalDays(int days);
  // The report journal's folder beside the other files: ".journal".
  std::filesystem::path JournalDir() const { return FileBeside(".journal"); }
  // The journal's numbers and size while it is written.
  std::optional<TReportJournal::TState> JournalState() const;

  // What the TCP server uses since the last start: the address ("" for every IPv4
  // address) and the allowed ranges (none for everybody).
  std::string ListenAddress() const;
  const TAllowList& AllowList() const { return IPServer.AllowList(); }
  // A serial port name for this run in place of the stored one (which holds at most 6
  // characters), e.g. a full device path.
  void SetPortOverride(std::string port) { FPortOverride = std::move(port); }

  // The reaction to a message of another copy: true when it is an accepted quit
  // request (the administrator password matched), which sets FSelfClose.
  bool ProcessSelfMessage(std::int32_t ID, const ShortStr& Txt, bool LoopBack);

 private:
  void WireTcpEvents();
  void WirePollEvents(TPolThread& pol);
  TSessionEnv Env();
  void PrimePollThread();  // under the session lock
  void RollBackStart();
  void ApplyTcpAccess();
  void OpenReportJournal();
  void CloseReportJournal();
  std::filesystem::path FileBeside(const char* ext) const;

  std::filesystem::path FExePath;
  TCommObjectFactory FMakeComm;
  std::string FPortOverride;
  std::string FTitle;
  TSettingsFile FServerInis;
  Session FSession;
  int FLanguageID = 1;
  std::string FListenSetting;
  std::string FAllowSetting;
  bool FTcpAccessSet = false;  // set here, to be written by SaveToIniFile
  int FJournalDays = 0;
  bool FJournalSet = false;  // set here, to be written by SaveToIniFile
  bool FIniUnread = false;     // the INI file exists but could not be read
  bool FServerStatred = false;
  TSockServer IPServer;
  TLineStats FLineStats;  // before the line's objects, which count into them
  TLineTrace FLineTrace;
  std::unique_ptr<TBasicCommunicationObject> CommObject;
  std::unique_ptr<TPolThread> PolObject;  // replaced under the session lock
  std::unique_ptr<TPollLink> FNoPoll;     // stands in for PolObject while stopped
  // Written while the server runs with a journal; its thread releases the reports that
  // FFlush holds for it.
  std::unique_ptr<TReportJournal> FReportJournal;
  // Between the session routines and IPServer; stores the record for every drawn
  // receipt number. Last: it goes first, storing what is pending.
  TReceiptFlush FFlush;
};

}  // namespace kassiro
