#include "operator/TrayController.h"

#include <cstdio>

#include "core/LogFile.h"

namespace kassiro::op {

void TTrayController::FormCreate() {
  FServer.Records().ClearStructures();
  ShowState();
  StartKassiro();
  if (!FServer.Started()) return;
  char line[512];
  std::snprintf(line, sizeof line, MSG_START, FServer.Title().c_str(), FServer.PortName().c_str());
  LogAddLine(line);
}

TServerState TTrayController::State() const {
  const bool running = FServer.Started();
  return {MenuStateFor(running),
          running ? SettingsText(FServer.Records().Settings()) : std::string(SERVER_STOPPED_TEXT),
          LanguageText(FServer.LanguageID())};
}

// ------------------------------------------------------------------ start and stop

void TTrayController::StartKassiro() {
  try {
    FServer.Start();
  } catch (const std::exception& e) {
    // The server is back in its stopped state; the operator sees why.
    LogAddLine(e.what());
    ShowState();
    FView.ShowError(e.what());
    return;
  }
  ShowState();
}

void TTrayController::StopKassiro() {
  FServer.Stop();
  ShowState();
}

void TTrayController::StartStop() {
  if (FGuard.Open()) {
    FView.BringToFront();
    return;
  }
  if (StartStopActionFor(FServer.Started()) == TStartStopAction::Start) {
    StartKassiro();
    return;
  }
  const auto token = FGuard.Enter();
  if (PasswordAccepted() && !FClosing) StopKassiro();
}

// ------------------------------------------------------------------------ settings

bool TTrayController::PasswordAccepted() {
  const std::string stored = FServer.AdminPassword();
  return !PromptNeeded(stored) || FView.AskPassword(stored);
}

void TTrayController::Guarded(const std::function<void()>& dialog) {
  // Settings change only while the server is stopped; the view offers them only then.
  if (FServer.Started()) return;
  const auto token = FGuard.Enter();
  if (!token) {
    FView.BringToFront();
    return;
  }
  if (!PasswordAccepted() || FClosing) return;
  dialog();
}

void TTrayController::Access() {
  Guarded([this] {
    const auto password = FView.ShowAccess([this](int set, const std::string& text) {
      TSettingsEdit edit;
      edit.SetPasswords.emplace_back(set, text);
      FServer.EditSettings(edit);  // in memory only, also when the dialog is cancelled
    });
    if (!password) return;
    TSettingsEdit edit;
    edit.Password = *password;
    FServer.EditSettings(edit);
    FServer.SaveSettings();
  });
}

void TTrayController::Offset() {
  Guarded([this] {
    TSettingsEdit edit;
    edit.GlobalBon = FView.ShowOffset(FServer.Records().Settings().GlobalBon);
    FServer.EditSettings(edit);
    FServer.SaveSettings();  // also when cancelled
  });
}

void TTrayController::Ports() {
  Guarded([this] {
    const TIniStru ini = FServer.Records().Settings();
    const auto chosen = FView.ShowPorts({ini.Speed, ini.IPPort, ini.ComPortName.str()});
    TSettingsEdit edit;
    if (chosen) {
      edit.Speed = chosen->Speed;
      edit.IPPort = chosen->IPPort;
      edit.ComPortName = chosen->ComPortName;
    }
    FServer.EditSettings(edit);
    FServer.SaveSettings();  // also when cancelled
  });
}

void TTrayController::CodeTable() {
  Guarded([this] {
    const auto chosen = FView.ShowCodeTable(FServer.LanguageID());
    if (!chosen) return;
    FServer.SaveCodeTable(*chosen);
    FView.ShowLanguage(LanguageText(*chosen));
  });
}

// -------------------------------------------------------------------------- close

bool TTrayController::RemoteQuit(const ShortStr& password) {
  const bool accepted = FServer.QuitRequest(password);
  // The close runs from the event loop, not from inside the channel's read.
  if (accepted) FView.Later([this] { FormCloseQuery(); });
  return accepted;
}

void TTrayController::CloseWithoutPrompt() {
  FServer.Records().SetSelfClose();
  FormCloseQuery();
}

bool TTrayController::FormCloseQuery() {
  if (FClosing) return true;
  FServer.SaveSettings();  // also when the password is then refused
  if (!FServer.Records().SelfClose()) {
    const auto token = FGuard.Enter();
    if (!token) {
      FView.BringToFront();
      return false;
    }
    if (!PasswordAccepted()) return FClosing;
    if (FClosing) return true;  // a remote quit closed the program meanwhile
  }
  FClosing = true;
  FServer.CloseByUser();
  FView.Closed();
  return true;
}

}  // namespace kassiro::op
