// The tray program's controller, apart from any window kit: the menu's states, start
// and stop, the guard sequence (one password prompt at a time, then the dialog) with
// each dialog's follow-up and save, and the close of the program from "Exit", a remote
// quit or a logout. It reaches the server only through the facade and the operator
// only through the view.
#pragma once

#include <functional>
#include <string>

#include "operator/ServerFacade.h"
#include "operator/SettingsRules.h"
#include "operator/TrayView.h"

namespace kassiro::op {

class TTrayController {
 public:
  TTrayController(TServerFacade& server, TTrayView& view) : FServer(server), FView(view) {}

  // Clears the shared records and starts the server. A start that fails leaves the
  // server stopped and shows the error; start-up goes on regardless.
  void FormCreate();

  // The menu items.
  void Access();
  void Offset();
  void Ports();
  void CodeTable();
  // "&Start" at once; "&Stop" after the password.
  void StartStop();
  void Exit() { FormCloseQuery(); }

  // A quit request of another copy with its password: true when accepted; the program
  // then closes from the event loop without asking for the password.
  bool RemoteQuit(const ShortStr& password);
  // A close that asks for no password, as after an accepted remote quit (a logout).
  void CloseWithoutPrompt();
  // Saves the settings, asks for the password unless a remote quit asked for the close,
  // then stops the server and closes the view. False when the close was refused.
  bool FormCloseQuery();

  TServerState State() const;
  bool PromptOpen() const { return FGuard.Open(); }
  bool Closing() const { return FClosing; }

 private:
  void StartKassiro();
  void StopKassiro();
  void ShowState() { FView.ShowServerState(State()); }
  bool PasswordAccepted();
  void Guarded(const std::function<void()>& dialog);

  TServerFacade& FServer;
  TTrayView& FView;
  TPromptGuard FGuard;  // held while a password prompt or a guarded dialog is open
  bool FClosing = false;
};

}  // namespace kassiro::op
