#include "ui/TrayMain.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <mutex>

#include "core/LogFile.h"
#include "ui/Dialogs.h"
#include "ui/TrayArt.h"
#include "ui/logic/HelpTopics.h"

namespace kassiro::ui {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

TfmMain::TfmMain(TKassiroServer& server, std::filesystem::path helpFile, QObject* parent)
    : QObject(parent),
      FServer(server),
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
  if (FMessenger != nullptr) FMessenger->OnSelfEvent = nullptr;
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
  {
    std::lock_guard lock(FServer.GetSession().Lock);
    FServer.GetSession().ClearStructures();
  }
  SetMenuItems();
  FTrayIcon->show();
  StartKassiro();
  if (FServer.Started()) {
    char line[512];
    std::snprintf(line, sizeof line, MSG_START, FServer.Title().c_str(), FServer.PortName().c_str());
    LogAddLine(line);
  }
}

void TfmMain::ListenTo(TSelfMessenger& messenger) {
  FMessenger = &messenger;
  messenger.HandleIncoming();  // what came before start-up was done is dropped
  messenger.OnSelfEvent = [this](TSelfMessenger& m, std::int32_t id, const ShortStr& txt, bool loopBack) {
    if (id != SM_QUIT || loopBack) return;
    const bool accepted = FServer.ProcessSelfMessage(id, txt, loopBack);
    m.Reply(accepted ? QUIT_ACCEPTED : QUIT_WRONG_PASSWORD);
    // The close runs from the event loop, not from inside the messenger's read.
    if (accepted) QMetaObject::invokeMethod(this, [this] { FormCloseQuery(); }, Qt::QueuedConnection);
  };
  if (!messenger.Receiving()) return;
  FMessages = std::make_unique<QSocketNotifier>(messenger.Handle(), QSocketNotifier::Read);
  connect(FMessages.get(), &QSocketNotifier::activated, this, [this] {
    const auto pause = FMessenger->HandleIncoming();
    if (pause.count() == 0) return;
    // The channel's budget is spent: connections wait in the backlog meanwhile.
    FMessages->setEnabled(false);
    QTimer::singleShot(pause, this, [this] { FMessages->setEnabled(true); });
  });
}

// ------------------------------------------------------------------ start and stop

void TfmMain::StartKassiro() {
  try {
    FServer.StartKassiro();
  } catch (const std::exception& e) {
    // The server is back in its stopped state; the operator sees why.
    LogAddLine(e.what());
    SetMenuItems();
    OpenMessageBox(nullptr, QMessageBox::Critical, QString::fromStdString(e.what()));
    return;
  }
  SetMenuItems();
}

void TfmMain::StopKassiro() {
  FServer.StopKassiro();
  SetMenuItems();
}

void TfmMain::SetMenuItems() {
  const TMenuState state = MenuStateFor(FServer.Started());
  for (const TMenuItemDef& d : TRAY_MENU) {
    if (IsSettingsItem(d.Item)) Item(d.Item)->setEnabled(state.SettingsEnabled);
  }
  QAction* startStop = Item(TMenuItem::miStartStop);
  startStop->setText(Q(state.StartStopCaption));
  startStop->setIcon(GlyphIcon(FPopupImg, state.StartStopTag));
  FTrayImage = state.TrayImage;
  FTrayIcon->setIcon(TrayIconFor(FTrayImage));
  if (FStatus) {
    std::string settings(SERVER_STOPPED_TEXT);
    if (FServer.Started()) {
      std::lock_guard lock(FServer.GetSession().Lock);
      settings = SettingsText(FServer.GetSession().IniStru);
    }
    FStatus->lblSettings->setText(QString::fromStdString(settings));
    FStatus->lblLanguage->setText(QString::fromStdString(LanguageText(FServer.LanguageID())));
    FStatus->ResetGrid();
  }
}

// ------------------------------------------------------------------------ windows

TfmKassiroStatus* TfmMain::fmKassiroStatus() {
  if (!FStatus) {
    FStatus = std::make_unique<TfmKassiroStatus>(FServer.GetSession());
    connect(FStatus.get(), &TfmKassiroStatus::helpRequested, this, &TfmMain::ShowHelp);
    SetMenuItems();
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

// ------------------------------------------------------------------------ settings

std::string TfmMain::AdminPassword() {
  std::lock_guard lock(FServer.GetSession().Lock);
  return FServer.GetSession().IniStru.sPassword.str();
}

void TfmMain::SaveSettings() {
  TIniStru ini;
  {
    std::lock_guard lock(FServer.GetSession().Lock);
    ini = FServer.GetSession().IniStru;
  }
  FServer.ServerInis().Save(ini);
}

void TfmMain::Guarded(const std::function<void()>& dialog) {
  const auto token = FGuard.Enter();
  if (!token) {
    BringToFront();
    return;
  }
  if (!AskPassword(AdminPassword()) || FClosing) return;
  dialog();
}

void TfmMain::miAccessClick() {
  Guarded([this] {
    Session& s = FServer.GetSession();
    TfmAccess dlg([&s](int set, const std::string& text) {
      std::lock_guard lock(s.Lock);
      ApplySetPassword(s.IniStru, set, text);
    });
    ConnectHelp(&dlg);
    if (dlg.exec() != QDialog::Accepted) return;
    {
      std::lock_guard lock(s.Lock);
      s.IniStru.sPassword = StoredPassword(dlg.NewPassword());
    }
    SaveSettings();
  });
}

void TfmMain::miOffsetClick() {
  Guarded([this] {
    Session& s = FServer.GetSession();
    std::int32_t bon = 0;
    {
      std::lock_guard lock(s.Lock);
      bon = s.IniStru.GlobalBon;
    }
    TfmOffset dlg(bon);
    ConnectHelp(&dlg);
    if (dlg.exec() == QDialog::Accepted) {
      std::lock_guard lock(s.Lock);
      s.IniStru.GlobalBon = dlg.GlobalBon();
    }
    SaveSettings();
  });
}

void TfmMain::miPortsClick() {
  Guarded([this] {
    Session& s = FServer.GetSession();
    TIniStru ini;
    {
      std::lock_guard lock(s.Lock);
      ini = s.IniStru;
    }
    TfmPorts dlg(ini.Speed, ini.IPPort, ini.ComPortName.str(), FPortLister());
    ConnectHelp(&dlg);
    if (dlg.exec() == QDialog::Accepted) {
      std::lock_guard lock(s.Lock);
      s.IniStru.Speed = dlg.Speed();
      s.IniStru.IPPort = dlg.IPPort();
      s.IniStru.ComPortName = dlg.ComPortName();
    }
    SaveSettings();
  });
}

void TfmMain::miLanguageClick() {
  Guarded([this] {
    TfmLangSel dlg(FServer.LanguageID());
    ConnectHelp(&dlg);
    if (dlg.exec() != QDialog::Accepted) return;
    FServer.SetLanguageID(dlg.LanguageID());
    FServer.SaveToIniFile();
    if (FStatus) FStatus->lblLanguage->setText(QString::fromStdString(LanguageText(dlg.LanguageID())));
  });
}

void TfmMain::miStartStopClick() {
  if (FGuard.Open()) {
    BringToFront();
    return;
  }
  if (StartStopActionFor(FServer.Started()) == TStartStopAction::Start) {
    StartKassiro();
    return;
  }
  const auto token = FGuard.Enter();
  if (AskPassword(AdminPassword()) && !FClosing) StopKassiro();
}

// -------------------------------------------------------------------------- close

void TfmMain::miExitServClick() { FormCloseQuery(); }

void TfmMain::CloseWithoutPrompt() {
  {
    std::lock_guard lock(FServer.GetSession().Lock);
    FServer.GetSession().FSelfClose = true;
  }
  FormCloseQuery();
}

bool TfmMain::FormCloseQuery() {
  if (FClosing) return true;
  SaveSettings();  // also when the password is then refused
  bool selfClose = false;
  {
    std::lock_guard lock(FServer.GetSession().Lock);
    selfClose = FServer.GetSession().FSelfClose;
  }
  if (!selfClose) {
    const auto token = FGuard.Enter();
    if (!token) {
      BringToFront();
      return false;
    }
    if (!AskPassword(AdminPassword())) return FClosing;
    if (FClosing) return true;  // a remote quit closed the program meanwhile
  }
  FClosing = true;
  FServer.CloseByUser();
  FTrayIcon->hide();
  if (FStatus) FStatus->hide();
  if (FHelp) FHelp->hide();
  emit closed();
  return true;
}

}  // namespace kassiro::ui
