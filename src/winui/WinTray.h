// The tray program's main object on Win32: a hidden top-level window (so that the
// logoff's WM_QUERYENDSESSION/WM_ENDSESSION and Explorer's TaskbarCreated reach it), the
// notification-area icon with its owner-drawn menu, the status window and the dialogs,
// as the view of the operator layer's tray controller, which decides start and stop, the
// guarded settings dialogs and the close of the program. It holds windows only: no
// session lock and no settings rule.
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/SelfMsgs.h"
#include "operator/ServerFacade.h"
#include "operator/TrayController.h"
#include "operator/TrayView.h"
#include "platform/SerialPort.h"
#include "server/KassiroServer.h"
#include "winui/Win32.h"
#include "winui/WinDialogs.h"
#include "winui/WinMenu.h"
#include "winui/WinStatus.h"

namespace kassiro::winui {

class TWinTray : private op::TTrayView, private TDialogHost {
 public:
  // helpFile: the operator's guide as HTML, shown by "&Help" and F1.
  TWinTray(TKassiroServer& server, std::filesystem::path helpFile);
  ~TWinTray() override;
  TWinTray(const TWinTray&) = delete;
  TWinTray& operator=(const TWinTray&) = delete;

  // Clears the shared records, adds the icon and starts the server; a failed start
  // leaves it stopped with the error shown.
  void FormCreate();
  // From here on, quit requests of a second copy are obeyed.
  void ListenTo(TSelfMessenger& messenger);
  // The message loop, until the program closes; the process's exit code.
  int Run();

 private:
  static LRESULT CALLBACK Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
  void AddIcon();
  void UpdateIcon(DWORD message);
  void TrayEvent(UINT mouse);
  void Choose(op::TMenuItem item);
  void StatusWindow();
  void WatchMessages();
  void OpenHelp(int context);

  // What the controller asks of its view.
  void ShowServerState(const op::TServerState& state) override;
  void ShowLanguage(const std::string& text) override;
  bool AskPassword(const std::string& stored) override;
  std::optional<std::string> ShowAccess(const op::TApplySetPassword& apply) override;
  std::optional<std::int32_t> ShowOffset(std::int32_t globalBon) override;
  std::optional<op::TPortValues> ShowPorts(const op::TPortValues& current) override;
  std::optional<int> ShowCodeTable(int languageID) override;
  void ShowError(const std::string& text) override;
  void BringToFront() override;
  void Later(std::function<void()> step) override;
  void Closed() override;

  // What the dialogs ask of their host.
  HWND DialogOwner() const override { return FWnd; }
  void DialogOpened(HWND dialog) override;
  void DialogClosed(HWND dialog) override;
  void ShowHelp(int context) override { OpenHelp(context); }

  op::TServerFacade FServer;
  op::TTrayController FController;
  std::filesystem::path FHelpFile;
  HWND FWnd = nullptr;
  UINT FTaskbarCreated = 0;
  TTrayMenu FMenu;
  HICON FIcons[2] = {nullptr, nullptr};
  int FTrayImage = op::IMAGE_STOPPED;
  bool FIconAdded = false;
  std::unique_ptr<TStatusWindow> FStatus;
  std::vector<HWND> FDialogs;  // the open modal dialogs, innermost last
  int FModal = 0;              // modal dialogs and message boxes open
  std::deque<std::function<void()>> FLater;
  TSelfMessenger* FMessenger = nullptr;
  std::optional<op::TMenuItem> FMenuSelected;  // for F1 on a menu item
};

}  // namespace kassiro::winui
