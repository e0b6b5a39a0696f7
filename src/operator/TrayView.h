// What the tray's controller asks of a view: show the server's state, the password
// prompt, one of the settings dialogs with these values, an error; bring the open
// prompt to the front; run a step later; close. A second window kit implements this
// and nothing of the controller changes.
//
// The dialogs are modal: each call returns once the operator answered. A view runs
// its event loop meanwhile, so the controller may be entered again from inside a call
// (a remote quit while a prompt is open); it is written for that.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "operator/TrayMenu.h"

namespace kassiro::op {

// The menu, the tray icon and the status window's labels as the server's state has them.
struct TServerState {
  TMenuState Menu;
  std::string SettingsText;  // "Port: COM1 Speed: 4800  IP Port: 4999" or "Server STOPPED"
  std::string LanguageText;  // "Code table: ..."
};

// What the port setup edits.
struct TPortValues {
  std::uint16_t Speed = 0;
  std::uint16_t IPPort = 0;
  std::string ComPortName;
};

// "Apply SET password": SET 1..14 and the typed text, stored in memory at once.
using TApplySetPassword = std::function<void(int set, const std::string& text)>;

class TTrayView {
 public:
  virtual ~TTrayView() = default;

  // Menu items, tray icon, the status window's labels; the status grid back to one row.
  virtual void ShowServerState(const TServerState& state) = 0;
  // The status window's code-table label alone.
  virtual void ShowLanguage(const std::string& text) = 0;

  // The administrator password prompt for a stored password (never empty): true when
  // the operator typed it.
  virtual bool AskPassword(const std::string& stored) = 0;
  // Access setup: the new server password when closed with OK.
  virtual std::optional<std::string> ShowAccess(const TApplySetPassword& apply) = 0;
  // Offset: the new receipt-number offset when closed with OK.
  virtual std::optional<std::int32_t> ShowOffset(std::int32_t globalBon) = 0;
  // Port setup: the new values when closed with OK.
  virtual std::optional<TPortValues> ShowPorts(const TPortValues& current) = 0;
  // Code table: the new table's number when another one was chosen.
  virtual std::optional<int> ShowCodeTable(int languageID) = 0;

  // The application's standard error box; it does not wait for the operator.
  virtual void ShowError(const std::string& text) = 0;
  // The open prompt or dialog to the front.
  virtual void BringToFront() = 0;
  // Runs step from the event loop once the current event is done.
  virtual void Later(std::function<void()> step) = 0;
  // The program closes: the icon and every window go, the event loop ends.
  virtual void Closed() = 0;
};

}  // namespace kassiro::op
