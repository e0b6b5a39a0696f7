// The tray application's main object: the notification-area icon with its pop-up menu,
// the status and help windows, and the dialogs, as the view of the operator layer's
// tray controller, which decides start and stop, the guarded settings dialogs and the
// close of the program (from "Exit", a remote quit or a signal). It holds widgets only:
// no session lock and no settings rule. It never shows a window of its own.
#pragma once

#include <QAction>
#include <QObject>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/SelfMsgs.h"
#include "operator/ServerFacade.h"
#include "operator/TrayController.h"
#include "operator/TrayMenu.h"
#include "operator/TrayView.h"
#include "server/KassiroServer.h"
#include "ui/HelpWindow.h"
#include "ui/MarginMenu.h"
#include "ui/OperatorNames.h"
#include "ui/StatusWindow.h"
#include "platform/SerialPort.h"

namespace kassiro::ui {

using platform::ListSerialPorts;
using platform::TSerialPortEntry;

class TfmMain : public QObject, private TTrayView {
  Q_OBJECT
 public:
  using TPortLister = std::function<std::vector<TSerialPortEntry>()>;

  // helpFile: the operator's guide shown by "Help" and F1.
  TfmMain(TKassiroServer& server, std::filesystem::path helpFile, QObject* parent = nullptr);
  ~TfmMain() override;

  // Clears the shared records, shows the icon and starts the server. A start that fails
  // leaves the server stopped and shows the error; start-up goes on regardless.
  void FormCreate();
  // From here on, quit requests of a second copy are obeyed.
  void ListenTo(TSelfMessenger& messenger);
  // A close that asks for no password, as after an accepted remote quit (SIGTERM, SIGINT).
  void CloseWithoutPrompt();
  // The close of the program: saves the settings, asks for the password unless a remote
  // quit asked for the close, then stops the server and emits closed(). False when the
  // close was refused.
  bool FormCloseQuery();

  QAction* Item(TMenuItem item) const { return FItems[static_cast<std::size_t>(item)]; }
  TMarginMenu* PopupMenu() const { return FPopupMenu.get(); }
  QSystemTrayIcon* TrayIcon() const { return FTrayIcon; }
  int TrayImage() const { return FTrayImage; }
  const QPixmap& PopupImg() const { return FPopupImg; }
  // The status window, created on first use.
  TfmKassiroStatus* fmKassiroStatus();
  THelpWindow* HelpWindow();
  bool PromptOpen() const { return FController.PromptOpen(); }
  void SetPortLister(TPortLister lister) { FPortLister = std::move(lister); }

 public slots:
  void miAccessClick();
  void miOffsetClick();
  void miPortsClick();
  void miLanguageClick();
  void miStartStopClick();
  void miHelpClick();
  void miExitServClick();
  void TrayIconDblClick();
  void ShowHelp(int context);

 signals:
  void closed();

 private:
  void BuildMenu();
  // Hands the next waiting connection of the channel to the event loop.
  void WatchMessages();
  void ConnectHelp(QObject* source);

  // What the controller asks of its view.
  void ShowServerState(const TServerState& state) override;
  void ShowLanguage(const std::string& text) override;
  bool AskPassword(const std::string& stored) override;
  std::optional<std::string> ShowAccess(const TApplySetPassword& apply) override;
  std::optional<std::int32_t> ShowOffset(std::int32_t globalBon) override;
  std::optional<TPortValues> ShowPorts(const TPortValues& current) override;
  std::optional<int> ShowCodeTable(int languageID) override;
  void ShowError(const std::string& text) override;
  void BringToFront() override;
  void Later(std::function<void()> step) override;
  void Closed() override;

  TServerFacade FServer;
  TTrayController FController;
  std::filesystem::path FHelpFile;
  QPixmap FPopupImg;
  std::unique_ptr<TMarginMenu> FPopupMenu;
  std::array<QAction*, TRAY_MENU.size()> FItems{};
  QSystemTrayIcon* FTrayIcon = nullptr;
  int FTrayImage = IMAGE_STOPPED;
  std::unique_ptr<TfmKassiroStatus> FStatus;
  std::unique_ptr<THelpWindow> FHelp;
  TPortLister FPortLister = [] { return ListSerialPorts(); };
  TSelfMessenger* FMessenger = nullptr;
};

}  // namespace kassiro::ui
