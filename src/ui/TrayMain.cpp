#include "ui/TrayMain.h"

#include <QApplication>
#include <QTimer>

#include "ui/Dialogs.h"
#include "ui/TrayArt.h"
#include "operator/HelpTopics.h"

namespace kassiro::ui {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

TfmMain::TfmMain(TKassiroServer& server, std::filesystem::path helpFile, QObject* parent)
    : QObject(parent),
      FServer(server),
      FController(FServer, *this),
      FHelpFile(std::move(helpFile)),
      FPopupImg(GlyphStrip()),
      FPopupMenu(std::make_unique<TMarginMenu>()) {
  BuildMenu();
  FTrayIcon = new QSystemTrayIcon(this);
  FTrayIcon->setContextMenu(FPopupMenu.get());
  FTrayIcon->setToolTip(QString::fromStdString(FServer.Title()));
  connect(FTrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    // A double click comes after a single one (Trigger), which does nothing.
    if (reason == QSystemTrayIcon::DoubleClick) TrayIconDblClick();
  });
}

TfmMain::~TfmMain() {
  if (FMessenger != nullptr) {
    FMessenger->WhenPending(nullptr);
    FMessenger->OnSelfEvent = nullptr;
  }
  delete FTrayIcon;  // before the menu it shows
}

void TfmMain::BuildMenu() {
  FPopupMenu->setObjectName(QStringLiteral("PopupMenu"));
  connect(FPopupMenu.get(), &TMarginMenu::helpRequested, this, [this](int context) {
    FPopupMenu->close();
    ShowHelp(context);
  });
  for (const TMenuItemDef& d : TRAY_MENU) {
    QAction* a = d.Separator() ? FPopupMenu->addSeparator()
                               : FPopupMenu->addAction(GlyphIcon(FPopupImg, d.Tag), Q(d.Caption));
    a->setObjectName(Q(d.Name));
    a->setData(d.HelpContext);
    FItems[static_cast<std::size_t>(d.Item)] = a;
  }
  const auto on = [this](TMenuItem item, void (TfmMain::*handler)()) {
    connect(Item(item), &QAction::triggered, this, handler);
  };
  on(TMenuItem::miAccess, &TfmMain::miAccessClick);
  on(TMenuItem::miOffset, &TfmMain::miOffsetClick);
  on(TMenuItem::miServerPorts, &TfmMain::miPortsClick);
  on(TMenuItem::miCodetable, &TfmMain::miLanguageClick);
  on(TMenuItem::miStatus, &TfmMain::TrayIconDblClick);
  on(TMenuItem::miHelp, &TfmMain::miHelpClick);
  on(TMenuItem::miStartStop, &TfmMain::miStartStopClick);
  on(TMenuItem::miExit, &TfmMain::miExitServClick);
}

void TfmMain::FormCreate() {
  FTrayIcon->show();
  FController.FormCreate();
}

void TfmMain::ListenTo(TSelfMessenger& messenger) {
  FMessenger = &messenger;
  messenger.HandleIncoming();  // what came before start-up was done is dropped
  messenger.OnSelfEvent = [this](TSelfMessenger& m, std::int32_t id, const ShortStr& txt, bool loopBack) {
    if (id != SM_QUIT || loopBack) return;
    m.Reply(FController.RemoteQuit(txt) ? QUIT_ACCEPTED : QUIT_WRONG_PASSWORD);
  };
  WatchMessages();
}

void TfmMain::WatchMessages() {
  FMessenger->WhenPending([this] {
    QMetaObject::invokeMethod(
        this,
        [this] {
          const auto pause = FMessenger->HandleIncoming();
          if (pause.count() == 0) return WatchMessages();
          // The channel's budget is spent: connections wait in the backlog meanwhile.
          QTimer::singleShot(pause, this, [this] { WatchMessages(); });
        },
        Qt::QueuedConnection);
  });
}

// ------------------------------------------------------------------ server state

void TfmMain::ShowServerState(const TServerState& state) {
  for (const TMenuItemDef& d : TRAY_MENU) {
    if (IsSettingsItem(d.Item)) Item(d.Item)->setEnabled(state.Menu.SettingsEnabled);
  }
  QAction* startStop = Item(TMenuItem::miStartStop);
  startStop->setText(Q(state.Menu.StartStopCaption));
  startStop->setIcon(GlyphIcon(FPopupImg, state.Menu.StartStopTag));
  FTrayImage = state.Menu.TrayImage;
  FTrayIcon->setIcon(TrayIconFor(FTrayImage));
  if (FStatus) {
    FStatus->lblSettings->setText(QString::fromStdString(state.SettingsText));
    FStatus->lblLanguage->setText(QString::fromStdString(state.LanguageText));
    FStatus->ResetGrid();
  }
}

void TfmMain::ShowLanguage(const std::string& text) {
  if (FStatus) FStatus->lblLanguage->setText(QString::fromStdString(text));
}

// ------------------------------------------------------------------------ windows

TfmKassiroStatus* TfmMain::fmKassiroStatus() {
  if (!FStatus) {
    FStatus = std::make_unique<TfmKassiroStatus>(FServer.Records());
    connect(FStatus.get(), &TfmKassiroStatus::helpRequested, this, &TfmMain::ShowHelp);
    ShowServerState(FController.State());
  }
  return FStatus.get();
}

THelpWindow* TfmMain::HelpWindow() {
  if (!FHelp) FHelp = std::make_unique<THelpWindow>(FHelpFile);
  return FHelp.get();
}

void TfmMain::TrayIconDblClick() {
  TfmKassiroStatus* w = fmKassiroStatus();
  w->show();
  w->showNormal();
  w->raise();
  w->activateWindow();
}

void TfmMain::ShowHelp(int context) { HelpWindow()->ShowTopic(context); }

void TfmMain::miHelpClick() { ShowHelp(HELP_CONTENTS); }

void TfmMain::BringToFront() {
  if (QWidget* w = QApplication::activeModalWidget()) {
    w->show();
    w->raise();
    w->activateWindow();
  }
}

void TfmMain::ConnectHelp(QObject* source) {
  if (auto* d = qobject_cast<TKassiroDialog*>(source))
    connect(d, &TKassiroDialog::helpRequested, this, &TfmMain::ShowHelp);
}

// ------------------------------------------------------------------------ dialogs

bool TfmMain::AskPassword(const std::string& stored) {
  TfmPassword prompt(stored);
  return prompt.exec() == QDialog::Accepted;
}

std::optional<std::string> TfmMain::ShowAccess(const TApplySetPassword& apply) {
  TfmAccess dlg(apply);
  ConnectHelp(&dlg);
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return dlg.NewPassword();
}

std::optional<std::int32_t> TfmMain::ShowOffset(std::int32_t globalBon) {
  TfmOffset dlg(globalBon);
  ConnectHelp(&dlg);
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return dlg.GlobalBon();
}

std::optional<TPortValues> TfmMain::ShowPorts(const TPortValues& current) {
  TfmPorts dlg(current.Speed, current.IPPort, current.ComPortName, FPortLister());
  ConnectHelp(&dlg);
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return TPortValues{dlg.Speed(), dlg.IPPort(), dlg.ComPortName()};
}

std::optional<int> TfmMain::ShowCodeTable(int languageID) {
  TfmLangSel dlg(languageID);
  ConnectHelp(&dlg);
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return dlg.LanguageID();
}

void TfmMain::ShowError(const std::string& text) {
  OpenMessageBox(nullptr, QMessageBox::Critical, QString::fromStdString(text));
}

void TfmMain::Later(std::function<void()> step) {
  QMetaObject::invokeMethod(this, std::move(step), Qt::QueuedConnection);
}

// ------------------------------------------------------------------------- menu

void TfmMain::miAccessClick() { FController.Access(); }
void TfmMain::miOffsetClick() { FController.Offset(); }
void TfmMain::miPortsClick() { FController.Ports(); }
void TfmMain::miLanguageClick() { FController.CodeTable(); }
void TfmMain::miStartStopClick() { FController.StartStop(); }
void TfmMain::miExitServClick() { FController.Exit(); }

// -------------------------------------------------------------------------- close

void TfmMain::CloseWithoutPrompt() { FController.CloseWithoutPrompt(); }

bool TfmMain::FormCloseQuery() { return FController.FormCloseQuery(); }

void TfmMain::Closed() {
  FTrayIcon->hide();
  if (FStatus) FStatus->hide();
  if (FHelp) FHelp->hide();
  emit closed();
}

}  // namespace kassiro::ui
