#include "operator/ServerFacade.h"

#include <mutex>

namespace kassiro::op {

TRecordsSnapshot TSessionRecords::Snapshot(TModeClock::time_point now) const {
  TRecordsSnapshot r;
  const std::lock_guard lock(FSession->Lock);
  r.Settings = FSession->IniStru;
  r.ServerStatus = FSession->ServerStatus;
  r.SelfClose = FSession->FSelfClose;
  for (std::size_t n = 1; n <= MAX_ECR_COUNT; ++n) {
    const TEcr& ecr = (*FSession->Ecrs)[n];
    if (ecr.UserCount == 0) continue;
    TServedEcr& e = r.Served.emplace_back(TServedEcr{static_cast<int>(n), ecr, FSession->IniStru.ERData[n], {}});
    if (ecr.ModeSince != TModeClock::time_point{} && ecr.ModeSince <= now)
      e.ModeAge = std::chrono::duration_cast<std::chrono::seconds>(now - ecr.ModeSince);
  }
  return r;
}

TIniStru TSessionRecords::Settings() const {
  const std::lock_guard lock(FSession->Lock);
  return FSession->IniStru;
}

void TSessionRecords::EditSettings(const TSettingsEdit& edit) {
  const std::lock_guard lock(FSession->Lock);
  ApplyEdit(edit, FSession->IniStru);
}

void TSessionRecords::Refresh(TStatusGrid& grid) {
  const std::lock_guard lock(FSession->Lock);
  grid.Update(*FSession->Ecrs, FSession->IniStru.ERData, FSession->ServerStatus);
}

void TSessionRecords::ClearStructures() {
  const std::lock_guard lock(FSession->Lock);
  FSession->ClearStructures();
}

bool TSessionRecords::SelfClose() const {
  const std::lock_guard lock(FSession->Lock);
  return FSession->FSelfClose;
}

void TSessionRecords::SetSelfClose() {
  const std::lock_guard lock(FSession->Lock);
  FSession->FSelfClose = true;
}

// The file is read outside the lock. While the server runs, receipt numbers drawn
// meanwhile would be overwritten, so a running server's records stay as they are (a
// start reads the file anyway).
void TServerFacade::LoadSettings() {
  if (FServer.Started()) return;
  TIniStru ini = FRecords.Settings();
  FServer.ServerInis().Load(ini);
  Session& s = FServer.GetSession();
  const std::lock_guard lock(s.Lock);
  s.IniStru = ini;
}

// Through the receipt flush: a record read here and written after a newer one it stored
// would take a handed-out receipt number back off the disk.
void TServerFacade::SaveSettings() { FServer.StoreSettings(); }

void TServerFacade::SaveCodeTable(int languageID) {
  FServer.SetLanguageID(languageID);
  FServer.SaveToIniFile();
}

bool TServerFacade::QuitRequest(const ShortStr& password) {
  return FServer.ProcessSelfMessage(SM_QUIT, password, false);
}

}  // namespace kassiro::op
