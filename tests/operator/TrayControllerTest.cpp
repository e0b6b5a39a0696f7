// The tray's controller over a real server and a fake view that records what it was
// asked to show and answers as each test scripts it: the menu through start and stop,
// the guard sequence with every dialog's follow-up and save, the close protocol, and a
// start that fails at the serial port.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakeComObject.h"
#include "TempDir.h"
#include "core/IniFile.h"
#include "core/LogFile.h"
#include "core/SettingsFile.h"
#include "operator/TrayController.h"
#include "util/LangTbl.h"

namespace kassiro::op {
namespace {

using Calls = std::vector<std::string>;

// Records every request as a short line and answers the dialogs from its scripts.
struct TFakeView final : TTrayView {
  Calls calls;
  TServerState state{};
  std::vector<std::function<void()>> later;

  std::function<bool(const std::string&)> onPassword = [](const std::string&) { return true; };
  std::function<std::optional<std::string>(const TApplySetPassword&)> onAccess =
      [](const TApplySetPassword&) { return std::nullopt; };
  std::function<std::optional<std::int32_t>(std::int32_t)> onOffset = [](std::int32_t) { return std::nullopt; };
  std::function<std::optional<TPortValues>(const TPortValues&)> onPorts = [](const TPortValues&) {
    return std::nullopt;
  };
  std::function<std::optional<int>(int)> onCodeTable = [](int) { return std::nullopt; };

  void ShowServerState(const TServerState& s) override {
    state = s;
    calls.push_back("state " + std::string(s.Menu.StartStopCaption));
  }
  void ShowLanguage(const std::string& text) override { calls.push_back("language " + text); }
  bool AskPassword(const std::string& stored) override {
    calls.push_back("password " + stored);
    return onPassword(stored);
  }
  std::optional<std::string> ShowAccess(const TApplySetPassword& apply) override {
    calls.push_back("access");
    return onAccess(apply);
  }
  std::optional<std::int32_t> ShowOffset(std::int32_t bon) override {
    calls.push_back("offset " + std::to_string(bon));
    return onOffset(bon);
  }
  std::optional<TPortValues> ShowPorts(const TPortValues& v) override {
    calls.push_back("ports " + v.ComPortName + " " + std::to_string(v.Speed) + " " + std::to_string(v.IPPort));
    return onPorts(v);
  }
  std::optional<int> ShowCodeTable(int id) override {
    calls.push_back("codetable " + std::to_string(id));
    return onCodeTable(id);
  }
  void ShowError(const std::string& text) override { calls.push_back("error " + text); }
  void BringToFront() override { calls.push_back("front"); }
  void Later(std::function<void()> step) override {
    calls.push_back("later");
    later.push_back(std::move(step));
  }
  void Closed() override { calls.push_back("closed"); }

  void RunLater() {
    auto steps = std::move(later);
    later.clear();
    for (auto& s : steps) s();
  }
  // The calls since the last Take.
  Calls Take() { return std::exchange(calls, {}); }
};

// The server in a scratch folder: on a scripted line, or on a port that does not exist.
struct ControllerTest : ::testing::Test {
  void Make(const std::string& password, bool portExists = true) {
    folder = dir / std::to_string(++made);
    std::filesystem::create_directories(folder);
    exe = folder / "kassiro";
    BindProgramLog(exe);
    WriteLanguageID(folder / "kassiro.INI", 1);
    TCommObjectFactory comm;
    if (portExists)
      comm = [this](const std::string&, int) { return std::make_unique<testing::FakeComObject>(journal); };
    server = std::make_unique<TKassiroServer>(exe, comm);
    facade = std::make_unique<TServerFacade>(*server);
    TSettingsEdit edit;
    edit.IPPort = 0;
    edit.Password = password;
    edit.ComPortName = portExists ? "COM1" : "COM99";
    facade->EditSettings(edit);
    controller = std::make_unique<TTrayController>(*facade, view);
  }
  void TearDown() override {
    controller.reset();
    facade.reset();
    server.reset();
    BindProgramLog(ExecutablePath());
  }
  // What is on disk, read through a copy: the running server holds the file locked.
  TIniStru Stored() {
    std::filesystem::copy_file(folder / "kassiro.STG", folder / "copy.STG",
                               std::filesystem::copy_options::overwrite_existing);
    TIniStru ini;
    TSettingsFile(folder / "copy.STG").Load(ini);
    return ini;
  }
  TIniStru InMemory() { return facade->Records().Settings(); }
  std::string Log() { return testing::ReadFile(folder / "kassiro.log"); }

  testing::TempDir dir;
  int made = 0;
  std::filesystem::path folder;  // this server's, inside dir
  std::filesystem::path exe;
  testing::TJournal journal;
  TFakeView view;
  std::unique_ptr<TKassiroServer> server;
  std::unique_ptr<TServerFacade> facade;
  std::unique_ptr<TTrayController> controller;
};

TEST_F(ControllerTest, StartNeedsNoPasswordButStopDoesAndTheMenuFollows) {
  Make("pw");
  controller->FormCreate();
  ASSERT_TRUE(facade->Started());
  EXPECT_EQ(view.Take(), (Calls{"state &Start", "state &Stop"}));  // cleared, then started
  EXPECT_FALSE(view.state.Menu.SettingsEnabled);
  EXPECT_EQ(view.state.Menu.TrayImage, IMAGE_RUNNING);
  EXPECT_EQ(view.state.SettingsText, "Port: COM1 Speed: 4800  IP Port: 0");
  EXPECT_NE(Log().find(ApplicationTitle() + " started on COM1."), std::string::npos);

  view.onPassword = [](const std::string&) { return false; };
  controller->StartStop();
  EXPECT_TRUE(facade->Started());
  EXPECT_EQ(view.Take(), (Calls{"password pw"}));

  view.onPassword = [](const std::string&) { return true; };
  controller->StartStop();
  EXPECT_FALSE(facade->Started());
  EXPECT_EQ(view.Take(), (Calls{"password pw", "state &Start"}));
  EXPECT_TRUE(view.state.Menu.SettingsEnabled);
  EXPECT_EQ(view.state.Menu.TrayImage, IMAGE_STOPPED);
  EXPECT_EQ(view.state.SettingsText, "Server STOPPED");
  EXPECT_EQ(view.state.LanguageText, "Code table: " + LanguageName(1));

  controller->StartStop();  // no prompt
  EXPECT_TRUE(facade->Started());
  EXPECT_EQ(view.Take(), (Calls{"state &Stop"}));
  EXPECT_FALSE(controller->PromptOpen());
}

TEST_F(ControllerTest, AnEmptyPasswordAsksForNothing) {
  Make("");
  controller->FormCreate();
  view.Take();
  controller->StartStop();
  controller->Offset();
  controller->Exit();
  EXPECT_EQ(view.Take(), (Calls{"state &Start", "offset 1", "closed"}));
}

// Each guarded item: a refused password opens no dialog and saves nothing; an accepted
// one opens the dialog with the current values, and the follow-up stores and saves as
// that dialog's rule says.
TEST_F(ControllerTest, GuardPasswordDialogAndSave) {
  struct TCase {
    const char* name;
    std::function<void(TTrayController&)> item;
    std::function<void(TFakeView&)> script;
    Calls calls;  // after the prompt
    std::function<void(ControllerTest&)> check;
  };
  const TCase cases[] = {
      {"access OK keeps nine characters and saves",
       [](TTrayController& c) { c.Access(); },
       [](TFakeView& v) { v.onAccess = [](const TApplySetPassword&) { return std::string("0123456789AB"); }; },
       {"access"},
       [](ControllerTest& t) {
         EXPECT_EQ(t.InMemory().sPassword.view(), "012345678");
         EXPECT_EQ(t.Stored().sPassword.view(), "012345678");
       }},
      {"a SET password applied, then cancelled: in memory, not saved",
       [](TTrayController& c) { c.Access(); },
       [](TFakeView& v) {
         v.onAccess = [](const TApplySetPassword& apply) {
           apply(3, "setpassword3");
           return std::optional<std::string>();
         };
       },
       {"access"},
       [](ControllerTest& t) {
         EXPECT_EQ(t.InMemory().SetPW[3].view(), "setpasswo");
         EXPECT_EQ(t.InMemory().sPassword.view(), "pw");
         EXPECT_TRUE(t.Stored().SetPW[3].empty());
       }},
      {"offset OK",
       [](TTrayController& c) { c.Offset(); },
       [](TFakeView& v) { v.onOffset = [](std::int32_t) { return 5000; }; },
       {"offset 1"},
       [](ControllerTest& t) { EXPECT_EQ(t.Stored().GlobalBon, 5000); }},
      {"offset cancelled still saves",
       [](TTrayController& c) { c.Offset(); },
       [](TFakeView& v) {
         v.onOffset = [](std::int32_t) { return std::nullopt; };
       },
       {"offset 1"},
       [](ControllerTest& t) {
         EXPECT_EQ(t.Stored().GlobalBon, 1);
         EXPECT_EQ(t.Stored().SetPW[2].view(), "inmemory");
       }},
      {"ports OK",
       [](TTrayController& c) { c.Ports(); },
       [](TFakeView& v) { v.onPorts = [](const TPortValues&) { return TPortValues{38400, 4998, "USB0"}; }; },
       {"ports COM99 4800 0"},
       [](ControllerTest& t) {
         const TIniStru s = t.Stored();
         EXPECT_EQ(s.ComPortName.view(), "USB0");
         EXPECT_EQ(s.Speed, 38400);
         EXPECT_EQ(s.IPPort, 4998);
       }},
      {"ports cancelled still saves and changes nothing",
       [](TTrayController& c) { c.Ports(); },
       [](TFakeView&) {},
       {"ports COM99 4800 0"},
       [](ControllerTest& t) {
         EXPECT_EQ(t.Stored().ComPortName.view(), "COM99");
         EXPECT_EQ(t.Stored().SetPW[2].view(), "inmemory");
       }},
      {"code table: the same one changes and writes nothing",
       [](TTrayController& c) { c.CodeTable(); },
       [](TFakeView& v) { v.onCodeTable = [](int) { return std::nullopt; }; },
       {"codetable 1"},
       [](ControllerTest& t) { EXPECT_EQ(ReadLanguageID(t.folder / "kassiro.INI", 0), 1); }},
      {"code table: another one is written and shown",
       [](TTrayController& c) { c.CodeTable(); },
       [](TFakeView& v) { v.onCodeTable = [](int) { return 3; }; },
       {"codetable 1", "language Code table: " + LanguageName(3)},
       [](ControllerTest& t) {
         EXPECT_EQ(ReadLanguageID(t.folder / "kassiro.INI", 0), 3);
         EXPECT_EQ(t.facade->LanguageID(), 3);
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    view = TFakeView{};
    Make("pw", false);  // never started: the settings items are enabled
    facade->SaveSettings();
    TSettingsEdit inMemory;
    inMemory.SetPasswords.emplace_back(2, "inmemory");
    facade->EditSettings(inMemory);
    const TIniStru before = Stored();
    view.Take();

    view.onPassword = [](const std::string&) { return false; };
    c.item(*controller);
    EXPECT_EQ(view.Take(), (Calls{"password pw"}));
    EXPECT_TRUE(Stored().SetPW[2].empty());
    EXPECT_EQ(Stored().GlobalBon, before.GlobalBon);

    view.onPassword = [](const std::string&) { return true; };
    c.script(view);
    c.item(*controller);
    Calls want{"password pw"};
    want.insert(want.end(), c.calls.begin(), c.calls.end());
    EXPECT_EQ(view.Take(), want);
    c.check(*this);
    EXPECT_FALSE(controller->PromptOpen());
  }
}

TEST_F(ControllerTest, ASecondRequestWhileThePromptIsOpenOnlyBringsItToTheFront) {
  Make("pw", false);
  controller->FormCreate();
  view.Take();
  view.onPassword = [this](const std::string&) {
    controller->Offset();
    controller->Ports();
    controller->StartStop();
    EXPECT_FALSE(controller->FormCloseQuery());
    EXPECT_TRUE(controller->PromptOpen());
    return false;
  };
  controller->Access();
  EXPECT_EQ(view.Take(), (Calls{"password pw", "front", "front", "front", "front"}));
  EXPECT_FALSE(controller->PromptOpen());
}

TEST_F(ControllerTest, ExitSavesFirstAndClosesOnlyAfterThePassword) {
  Make("pw");
  controller->FormCreate();
  TSettingsEdit edit;
  edit.GlobalBon = 321;
  facade->EditSettings(edit);
  view.Take();

  view.onPassword = [](const std::string&) { return false; };
  controller->Exit();
  EXPECT_EQ(view.Take(), (Calls{"password pw"}));
  EXPECT_TRUE(facade->Started());
  EXPECT_EQ(Stored().GlobalBon, 321);  // saved although the close was refused

  view.onPassword = [](const std::string&) { return true; };
  EXPECT_TRUE(controller->FormCloseQuery());
  EXPECT_EQ(view.Take(), (Calls{"password pw", "closed"}));
  EXPECT_FALSE(facade->Started());
  EXPECT_TRUE(controller->Closing());
  EXPECT_NE(Log().find(ApplicationTitle() + " closed by user."), std::string::npos);
  controller->Exit();  // closed once only
  EXPECT_TRUE(view.Take().empty());
}

TEST_F(ControllerTest, RemoteQuitClosesFromTheEventLoopWithoutAPromptOnlyWithTheRightPassword) {
  Make("pw");
  controller->FormCreate();
  view.Take();
  EXPECT_FALSE(controller->RemoteQuit("nope"));
  EXPECT_EQ(view.Take(), Calls{});
  EXPECT_TRUE(facade->Started());

  EXPECT_TRUE(controller->RemoteQuit("pw"));
  EXPECT_EQ(view.Take(), (Calls{"later"}));  // not from inside the channel's read
  EXPECT_TRUE(facade->Started());
  view.RunLater();
  EXPECT_EQ(view.Take(), (Calls{"closed"}));
  EXPECT_FALSE(facade->Started());
}

TEST_F(ControllerTest, ARemoteQuitWhileThePromptIsOpenClosesOnceAndTheStopIsNotRunAgain) {
  Make("pw");
  controller->FormCreate();
  view.Take();
  view.onPassword = [this](const std::string&) {
    EXPECT_TRUE(controller->RemoteQuit("pw"));
    view.RunLater();  // the prompt's own event loop runs the close
    return true;      // and then the operator types the password, too
  };
  controller->StartStop();
  EXPECT_EQ(view.Take(), (Calls{"password pw", "later", "closed"}));
  EXPECT_FALSE(facade->Started());
}

TEST_F(ControllerTest, ALogoutClosesWithoutAPrompt) {
  Make("pw");
  controller->FormCreate();
  view.Take();
  controller->CloseWithoutPrompt();
  EXPECT_EQ(view.Take(), (Calls{"closed"}));
  EXPECT_NE(Log().find("closed by user."), std::string::npos);
}

TEST_F(ControllerTest, AStartThatFailsAtThePortRollsBackAndTheProgramStillQuits) {
  Make("pw", false);
  controller->FormCreate();
  EXPECT_EQ(view.Take(), (Calls{"state &Start", "state &Start", "error Unable to open port COM99!"}));
  EXPECT_FALSE(facade->Started());
  EXPECT_EQ(server->ListeningPort(), 0);  // the TCP server closed again
  EXPECT_TRUE(view.state.Menu.SettingsEnabled);
  EXPECT_EQ(view.state.SettingsText, "Server STOPPED");
  EXPECT_EQ(Log().find(" started on "), std::string::npos);

  EXPECT_TRUE(controller->RemoteQuit("pw"));
  view.RunLater();
  EXPECT_EQ(view.Take(), (Calls{"later", "closed"}));
}

}  // namespace
}  // namespace kassiro::op
