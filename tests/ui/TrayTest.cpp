// The tray application's main object over a real server: the menu through the server's
// states, Start, Stop and Exit with and without a password, a remote quit, a close
// signal, a start that fails at the port, the guard, and the saves of the dialogs.
#include <QSignalSpy>
#include <QTextBlock>

#include <memory>
#include <mutex>

#include "Process.h"
#include "Pty.h"
#include "QtUiSupport.h"
#include "TempDir.h"
#include "core/IniFile.h"
#include "core/LogFile.h"
#include "core/SelfMsgs.h"
#include "server/KassiroServer.h"
#include "ui/Dialogs.h"
#include "ui/TrayMain.h"
#include "util/LangTbl.h"

using namespace kassiro;
using namespace kassiro::ui;
using kassiro::testing::AnswerBox;
using kassiro::testing::OpenBox;
using kassiro::testing::WhenModal;

namespace {

struct TTray {
  explicit TTray(const std::string& password, const std::string& port = {}) {
    exe = dir / "kassiro";
    BindProgramLog(exe);
    WriteLanguageID(dir / "kassiro.INI", 1);
    server = std::make_unique<TKassiroServer>(exe);
    {
      std::lock_guard lock(server->GetSession().Lock);
      TIniStru& ini = server->GetSession().IniStru;
      ini.IPPort = 0;
      ini.sPassword = password;
      if (!port.empty()) ini.ComPortName = port;
    }
    if (port.empty()) server->SetPortOverride(pty.SlavePath());
    main = std::make_unique<TfmMain>(*server, dir / "kassiro.md");
    main->SetPortLister([] { return std::vector<TSerialPortEntry>{{"COM1", "/dev/ttyS0", ""}}; });
    closed = std::make_unique<QSignalSpy>(main.get(), &TfmMain::closed);
  }
  ~TTray() {
    main.reset();
    server.reset();
    BindProgramLog(ExecutablePath());
  }
  TIniStru Stored() {
    // The running copy holds the file locked: read what is on disk through a copy.
    TIniStru ini;
    std::filesystem::copy_file(dir / "kassiro.STG", dir / "copy.STG",
                               std::filesystem::copy_options::overwrite_existing);
    TSettingsFile copy(dir / "copy.STG");
    copy.Load(ini);
    return ini;
  }
  TIniStru& Ini() { return server->GetSession().IniStru; }
  QString Caption(TMenuItem item) { return main->Item(item)->text(); }
  bool Enabled(TMenuItem item) { return main->Item(item)->isEnabled(); }
  std::string Log() { return kassiro::testing::ReadFile(dir / "kassiro.log"); }
  // The channel of the running copy. Like the program's, it outlives the window, whose
  // destructor takes back its watch on it.
  TSelfMessenger& Channel() {
    messenger = std::make_unique<TSelfMessenger>(exe);
    return *messenger;
  }

  kassiro::testing::TempDir dir;
  std::filesystem::path exe;
  TPty pty;
  std::unique_ptr<TSelfMessenger> messenger;
  std::unique_ptr<TKassiroServer> server;
  std::unique_ptr<TfmMain> main;
  std::unique_ptr<QSignalSpy> closed;
};

// A quit request from another process, as a second `kassiro -Q:text` sends it.
bool SendQuit(const std::filesystem::path& exe, const std::string& text) {
  const auto r = kassiro::testing::RunProgram({SEND_QUIT_PATH, exe.string(), text});
  return r.Exit == 0;
}

void TypePassword(TfmPassword* p, const char* text) {
  QTest::keyClicks(p->ePassword, text);
  QTest::keyClick(p->ePassword, Qt::Key_Return);
}

}  // namespace

class TrayTest : public QObject {
  Q_OBJECT

 private slots:
  void menuHasItsItemsInOrderWithGlyphs() {
    TTray t("");
    QStringList items;
    for (QAction* a : t.main->PopupMenu()->actions())
      items << (a->isSeparator() ? QString("-") : a->text());
    QCOMPARE(items.join('|'), QString("&Access|&Offset|Server &Ports|&Code table|-|S&tatus|&Help|-|&Start|E&xit"));
    for (QAction* a : t.main->PopupMenu()->actions()) QVERIFY(a->isSeparator() || !a->icon().isNull());
    QCOMPARE(t.main->PopupImg().width(), 160);
    QCOMPARE(t.main->TrayIcon()->toolTip(), QString::fromStdString(ApplicationTitle()));
  }

  void menuFollowsTheServerThroughStartAndStop() {
    TTray t("");
    t.main->FormCreate();
    QVERIFY(t.server->Started());
    QCOMPARE(t.Caption(TMenuItem::miStartStop), QString("&Stop"));
    QCOMPARE(t.main->TrayImage(), IMAGE_RUNNING);
    for (TMenuItem i : {TMenuItem::miAccess, TMenuItem::miOffset, TMenuItem::miServerPorts, TMenuItem::miCodetable})
      QVERIFY(!t.Enabled(i));
    QVERIFY(t.Enabled(TMenuItem::miStatus) && t.Enabled(TMenuItem::miExit));
    QVERIFY(t.Log().find(" started on " + t.pty.SlavePath() + ".") != std::string::npos);

    TfmKassiroStatus* status = t.main->fmKassiroStatus();
    QCOMPARE(status->lblSettings->text(), QString("Port: COM1 Speed: 4800  IP Port: 0"));
    t.main->Item(TMenuItem::miStartStop)->trigger();  // no password: stops at once
    QVERIFY(!t.server->Started());
    QCOMPARE(t.Caption(TMenuItem::miStartStop), QString("&Start"));
    QCOMPARE(t.main->TrayImage(), IMAGE_STOPPED);
    QVERIFY(t.Enabled(TMenuItem::miAccess) && t.Enabled(TMenuItem::miCodetable));
    QCOMPARE(status->lblSettings->text(), QString("Server STOPPED"));
    QCOMPARE(status->lblLanguage->text(), "Code table: " + QString::fromStdString(LanguageName(1)));

    t.main->Item(TMenuItem::miStartStop)->trigger();
    QVERIFY(t.server->Started());
    QVERIFY(!t.Enabled(TMenuItem::miOffset));
    QVERIFY(status->lblSettings->text().startsWith("Port: "));
  }

  void startNeedsNoPasswordButStopDoes() {
    TTray t("pw");
    t.main->FormCreate();
    WhenModal<TfmPassword>([](TfmPassword* p) {
      TypePassword(p, "wrong");
      QCOMPARE(AnswerBox(), QString("Incorrect Password"));
      TypePassword(p, "pw");
    });
    t.main->Item(TMenuItem::miStartStop)->trigger();
    QVERIFY(!t.server->Started());
    t.main->Item(TMenuItem::miStartStop)->trigger();  // no prompt: a prompt would hang here
    QVERIFY(t.server->Started());
    WhenModal<TfmPassword>([](TfmPassword* p) { p->btnCancel->click(); });
    t.main->Item(TMenuItem::miStartStop)->trigger();
    QVERIFY(t.server->Started());
  }

  void exitSavesFirstAndAsksForThePassword() {
    TTray t("pw");
    t.main->FormCreate();
    {
      std::lock_guard lock(t.server->GetSession().Lock);
      t.Ini().GlobalBon = 321;
    }
    WhenModal<TfmPassword>([](TfmPassword* p) { p->btnCancel->click(); });
    t.main->Item(TMenuItem::miExit)->trigger();
    QCOMPARE(t.closed->size(), 0);
    QVERIFY(t.server->Started());
    QCOMPARE(t.Stored().GlobalBon, 321);  // saved although the close was refused

    WhenModal<TfmPassword>([](TfmPassword* p) { TypePassword(p, "pw"); });
    t.main->Item(TMenuItem::miExit)->trigger();
    QCOMPARE(t.closed->size(), 1);
    QVERIFY(!t.server->Started());
    QVERIFY(!t.main->TrayIcon()->isVisible());
    QVERIFY(t.Log().find(ApplicationTitle() + " closed by user.") != std::string::npos);
  }

  void exitWithoutPasswordClosesAtOnce() {
    TTray t("");
    t.main->FormCreate();
    t.main->Item(TMenuItem::miExit)->trigger();
    QCOMPARE(t.closed->size(), 1);
  }

  void remoteQuitClosesWithoutAPromptOnlyWithTheRightPassword() {
    TTray t("pw");
    TSelfMessenger& running = t.Channel();
    QVERIFY(running.Receiving());
    t.main->FormCreate();
    t.main->ListenTo(running);
    QVERIFY(SendQuit(t.exe, "nope"));
    QVERIFY(!t.closed->wait(300));  // wrong password: nothing happens
    QVERIFY(t.server->Started());
    QVERIFY(SendQuit(t.exe, "pw"));
    QVERIFY(t.closed->wait(10000));
    QVERIFY(!t.server->Started());
  }

  void closeSignalClosesWithoutAPrompt() {
    TTray t("pw");
    t.main->FormCreate();
    t.main->CloseWithoutPrompt();
    QCOMPARE(t.closed->size(), 1);
    QVERIFY(t.Log().find("closed by user.") != std::string::npos);
  }

  void aStartThatFailsAtThePortRollsBackAndStillQuits() {
    TTray t("pw", "COM99");
    TSelfMessenger& running = t.Channel();
    t.main->FormCreate();
    t.main->ListenTo(running);
    QMessageBox* box = OpenBox();
    QVERIFY(box != nullptr);
    QCOMPARE(box->text(), QString("Unable to open port COM99!"));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    AnswerBox();
    QVERIFY(!t.server->Started());
    QCOMPARE(t.Caption(TMenuItem::miStartStop), QString("&Start"));
    QCOMPARE(t.main->TrayImage(), IMAGE_STOPPED);
    QVERIFY(t.Enabled(TMenuItem::miServerPorts));
    QVERIFY(SendQuit(t.exe, "pw"));
    QVERIFY(t.closed->wait(10000));
  }

  void aSecondRequestOnlyRaisesTheOpenPrompt() {
    TTray t("pw", "COM99");
    t.main->FormCreate();
    AnswerBox();
    int prompts = 0;
    WhenModal<TfmPassword>([&](TfmPassword* p) {
      t.main->Item(TMenuItem::miOffset)->trigger();       // returns at once
      t.main->Item(TMenuItem::miStartStop)->trigger();    // likewise
      t.main->Item(TMenuItem::miExit)->trigger();         // likewise
      for (QWidget* w : QApplication::topLevelWidgets()) prompts += qobject_cast<TfmPassword*>(w) != nullptr;
      QCOMPARE(qobject_cast<TfmPassword*>(QApplication::activeModalWidget()), p);
      p->btnCancel->click();
    });
    t.main->Item(TMenuItem::miAccess)->trigger();
    QCOMPARE(prompts, 1);
    QVERIFY(!t.main->PromptOpen());
    QCOMPARE(t.closed->size(), 0);
  }

  void accessStoresNineCharactersAndSetPasswordsSurviveCancel() {
    TTray t("", "COM99");
    t.main->FormCreate();
    AnswerBox();
    WhenModal<TfmAccess>([](TfmAccess* d) {
      d->cbSetNo->setCurrentIndex(2);
      d->eSetPW->setText("setpassword3");
      d->BitBtnSetPWOK->click();
      d->btnCancel->click();
    });
    t.main->Item(TMenuItem::miAccess)->trigger();
    QCOMPARE(t.Ini().SetPW[3].view(), std::string_view("setpasswo"));
    QVERIFY(t.Stored().SetPW[3].empty());  // in memory only, until the next save

    WhenModal<TfmAccess>([](TfmAccess* d) {
      d->eNewPW->setText("0123456789AB");
      d->eVerify->setText("0123456789AB");
      d->btnOK->click();
    });
    t.main->Item(TMenuItem::miAccess)->trigger();
    QCOMPARE(t.Ini().sPassword.view(), std::string_view("012345678"));
    QCOMPARE(t.Stored().sPassword.view(), std::string_view("012345678"));
    QCOMPARE(t.Stored().SetPW[3].view(), std::string_view("setpasswo"));

    // From now on the prompt guards, and accepts only the nine characters.
    WhenModal<TfmPassword>([](TfmPassword* p) {
      TypePassword(p, "0123456789AB");
      QCOMPARE(AnswerBox(), QString("Incorrect Password"));
      TypePassword(p, "012345678");
    });
    WhenModal<TfmAccess>([](TfmAccess* d) { d->btnOK->click(); });  // two empty fields
    t.main->Item(TMenuItem::miAccess)->trigger();
    QVERIFY(t.Ini().sPassword.empty());
  }

  void offsetAndPortsSaveEvenOnCancel() {
    TTray t("", "COM99");
    t.main->FormCreate();
    AnswerBox();
    {
      std::lock_guard lock(t.server->GetSession().Lock);
      t.Ini().ERData[4].Line = 77;  // an in-memory change that the next save takes along
    }
    WhenModal<TfmOffset>([](TfmOffset* d) { d->btnCancel->click(); });
    t.main->Item(TMenuItem::miOffset)->trigger();
    QCOMPARE(t.Stored().ERData[4].Line, 77);

    WhenModal<TfmOffset>([](TfmOffset* d) {
      d->eOffset->setText("5000");
      d->btnOK->click();
    });
    t.main->Item(TMenuItem::miOffset)->trigger();
    QCOMPARE(t.Stored().GlobalBon, 5000);

    WhenModal<TfmPorts>([](TfmPorts* d) {
      QCOMPARE(d->cbComPort->count(), 1);
      d->cbComPort->setCurrentIndex(0);
      d->cbSpeed->setCurrentIndex(7);
      d->eIPPort->setText("4998");
      d->btnOK->click();
    });
    t.main->Item(TMenuItem::miServerPorts)->trigger();
    const TIniStru stored = t.Stored();
    QCOMPARE(stored.ComPortName.view(), std::string_view("COM1"));
    QCOMPARE(int(stored.Speed), 38400);
    QCOMPARE(int(stored.IPPort), 4998);
  }

  void codeTableWritesTheIniFileOnlyOnAChange() {
    TTray t("", "COM99");
    t.main->FormCreate();
    AnswerBox();
    TfmKassiroStatus* status = t.main->fmKassiroStatus();
    WhenModal<TfmLangSel>([](TfmLangSel* d) { d->btnOK->click(); });  // the current one
    t.main->Item(TMenuItem::miCodetable)->trigger();
    QCOMPARE(ReadLanguageID(t.dir / "kassiro.INI", 0), 1);
    WhenModal<TfmLangSel>([](TfmLangSel* d) {
      d->lbAllLangs->setCurrentRow(2);
      d->btnOK->click();
    });
    t.main->Item(TMenuItem::miCodetable)->trigger();
    QCOMPARE(ReadLanguageID(t.dir / "kassiro.INI", 0), 3);
    QCOMPARE(status->lblLanguage->text(), "Code table: " + QString::fromStdString(LanguageName(3)));
  }

  void statusItemShowsTheStatusWindowAndHelpOpensTheGuide() {
    TTray t("");
    kassiro::testing::WriteFile(t.dir / "kassiro.md",
                                "# Guide\n\nContents.\n\n<a name=\"help-230\"></a>\n## Server ports\n\nPorts.\n");
    t.main->FormCreate();
    t.main->Item(TMenuItem::miStatus)->trigger();
    QVERIFY(t.main->fmKassiroStatus()->isVisible());
    t.main->Item(TMenuItem::miHelp)->trigger();
    THelpWindow* help = t.main->HelpWindow();
    QVERIFY(help->isVisible());
    QVERIFY(help->toPlainText().contains("Server ports"));
    QVERIFY(!help->toPlainText().contains("<a"));
    QStringList anchors;
    for (QTextBlock b = help->document()->begin(); b.isValid(); b = b.next())
      for (auto it = b.begin(); !it.atEnd(); ++it) anchors << it.fragment().charFormat().anchorNames();
    QVERIFY2(anchors.contains("help-230"), qPrintable(anchors.join(',')));
    QCOMPARE(help->windowTitle(), QString::fromStdString(ApplicationTitle()));
  }
};

KASSIRO_QTEST_MAIN(TrayTest)
#include "TrayTest.moc"
