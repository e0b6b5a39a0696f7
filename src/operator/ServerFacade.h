// The server as the operator's views and the service see it: the shared records taken
// as values in one go, and the settings changed through one door. These are the only
// places above the server that take Session::Lock; a view, the tray's controller and
// kassirod's status report never do.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/TheNewDefs.h"
#include "operator/SettingsRules.h"
#include "operator/StatusGrid.h"
#include "server/KassiroServer.h"

namespace kassiro::op {

using TModeClock = std::chrono::steady_clock;

// One served ECR (UserCount above 0) as the records had it.
struct TServedEcr {
  int LogNo = 0;
  TEcr Ecr;
  TERData Data;
  // Since the session last recorded the mode; none when it has not since the start, so
  // the mode in Data is left from an earlier run or a stop.
  std::optional<std::chrono::seconds> ModeAge;
};

struct TRecordsSnapshot {
  TIniStru Settings;
  std::int32_t ServerStatus = 0;  // 1 while an ECR is polled
  bool SelfClose = false;         // a remote quit was accepted
  std::vector<TServedEcr> Served;  // in ascending order
};

// The shared records of a session.
class TSessionRecords {
 public:
  explicit TSessionRecords(Session& session) : FSession(&session) {}

  TRecordsSnapshot Snapshot(TModeClock::time_point now = TModeClock::now()) const;
  TIniStru Settings() const;
  // In memory; SaveSettings of the server facade puts it on disk.
  void EditSettings(const TSettingsEdit& edit);
  // One refresh of the status window's grid, which counts the listed modes down.
  void Refresh(TStatusGrid& grid);
  void ClearStructures();
  bool SelfClose() const;
  void SetSelfClose();

 private:
  Session* FSession;
};

// The server's state and its operations, for the tray's controller and kassirod.
class TServerFacade {
 public:
  explicit TServerFacade(TKassiroServer& server) : FServer(server), FRecords(server.GetSession()) {}

  TKassiroServer& Server() { return FServer; }
  TSessionRecords& Records() { return FRecords; }
  TRecordsSnapshot Snapshot() const { return FRecords.Snapshot(); }

  // Settings record: read from its file (only while stopped), edited in memory,
  // written to its file.
  void LoadSettings();
  void EditSettings(const TSettingsEdit& edit) { FRecords.EditSettings(edit); }
  void SaveSettings();
  std::string AdminPassword() const { return FRecords.Settings().sPassword.str(); }

  // The code table: kept in the INI file, used from the next start.
  int LanguageID() const { return FServer.LanguageID(); }
  void SaveCodeTable(int languageID);

  bool Started() const { return FServer.Started(); }
  // Throws what the serial port threw, with the server stopped again.
  void Start() { FServer.StartKassiro(); }
  void Stop() { FServer.StopKassiro(); }
  // Saves, stops and writes the closing log line.
  void CloseByUser() { FServer.CloseByUser(); }
  // A quit request of another copy: true when its password is the administrator's,
  // which makes the close one that asks for no password.
  bool QuitRequest(const ShortStr& password);

  const std::string& Title() const { return FServer.Title(); }
  std::string PortName() const { return FServer.PortName(); }

 private:
  TKassiroServer& FServer;
  TSessionRecords FRecords;
};

}  // namespace kassiro::op
