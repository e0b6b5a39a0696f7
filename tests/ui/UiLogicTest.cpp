// The tray application's logic without any window: status rows and their ageing, the
// menu's states, the dialogs' rules and the port list.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "ui/logic/DialogRules.h"
#include "ui/logic/GuidePath.h"
#include "ui/logic/HelpTopics.h"
#include "ui/logic/PortList.h"
#include "ui/logic/StatusGrid.h"
#include "ui/logic/TrayMenu.h"
#include "util/LangTbl.h"

namespace kassiro::ui {
namespace {

using Rows = std::vector<TGridRow>;

const TGridRow HEADER = {"Log No", "Ser No", "Mode", "SET:ID"};
const TGridRow EMPTY = {"", "", "", ""};

struct StatusGridTest : ::testing::Test {
  Session s;
  TStatusGrid grid;

  void Serve(int ecr, std::initializer_list<std::pair<int, std::uint16_t>> owners = {}) {
    (*s.Ecrs)[ecr].UserCount = 1;
    for (auto [set, id] : owners) (*s.Ecrs)[ecr].Sets[set].OwnerID = id;
  }
  void Refresh() { grid.Update(*s.Ecrs, s.IniStru.ERData, s.ServerStatus); }
};

TEST_F(StatusGridTest, NoServedEcrShowsTheHeaderAndOneEmptyRow) {
  Refresh();
  EXPECT_EQ(grid.Rows(), (Rows{HEADER, EMPTY}));
  EXPECT_FALSE(grid.Polling());
}

TEST_F(StatusGridTest, ServedEcrsAreListedInOrderWithSerialModeAndSets) {
  Serve(12, {{1, 3}, {4, 3}});
  Serve(5);
  s.IniStru.ERData[5].SerNum = 42;
  s.IniStru.ERData[5].CurrMode = MD_ONLINE;
  s.IniStru.ERData[5].CurrTO = DISP_TO;
  s.IniStru.ERData[12].SerNum = 1234567;
  s.IniStru.ERData[12].CurrMode = MD_PRN;
  s.IniStru.ERData[12].CurrTO = 3;
  s.ServerStatus = 1;
  Refresh();
  EXPECT_EQ(grid.Rows(), (Rows{HEADER, {"5", "000042", "OnLine", ""}, {"12", "1234567", "Prn", "1:3;4:3;"}}));
  EXPECT_TRUE(grid.Polling());
}

TEST_F(StatusGridTest, AModeShowsForFifteenRefreshesAndIsOffOnTheSixteenth) {
  Serve(7);
  s.IniStru.ERData[7].CurrMode = MD_INLINE;
  s.IniStru.ERData[7].CurrTO = DISP_TO;
  for (int i = 1; i <= 15; ++i) {
    Refresh();
    ASSERT_EQ(grid.Rows()[1][2], "InLine") << "refresh " << i;
  }
  Refresh();
  EXPECT_EQ(grid.Rows()[1][2], "Off");
  EXPECT_EQ(s.IniStru.ERData[7].CurrMode, MD_OFF);
}

TEST_F(StatusGridTest, ModesAgeOnlyForListedEcrs) {
  s.IniStru.ERData[9].CurrMode = MD_ONLINE;
  s.IniStru.ERData[9].CurrTO = 2;
  Refresh();
  EXPECT_EQ(s.IniStru.ERData[9].CurrTO, 2);
}

TEST_F(StatusGridTest, RowsMoveUpAndSurplusRowsGoWhenAnEcrIsNoLongerServed) {
  Serve(2, {{5, 1}});
  Serve(3, {{1, 2}});
  Serve(4, {{13, 3}});
  Refresh();
  ASSERT_EQ(grid.RowCount(), 4u);
  (*s.Ecrs)[2].UserCount = 0;
  Refresh();
  EXPECT_EQ(grid.Rows(), (Rows{HEADER, {"3", "000000", "Off", "1:2;"}, {"4", "000000", "Off", "13:3;"}}));
  (*s.Ecrs)[3].UserCount = 0;
  (*s.Ecrs)[4].UserCount = 0;
  Refresh();
  EXPECT_EQ(grid.Rows(), (Rows{HEADER, EMPTY}));
}

TEST_F(StatusGridTest, AnUnknownModeLeavesTheCellAsItWas) {
  Serve(1);
  Serve(2);
  Serve(3);
  s.IniStru.ERData[2].CurrMode = MD_PRN;
  s.IniStru.ERData[2].CurrTO = 5;
  Refresh();
  (*s.Ecrs)[2].UserCount = 0;
  s.IniStru.ERData[3].CurrMode = 9;
  s.IniStru.ERData[3].CurrTO = 5;
  Refresh();  // ECR 3 moved up into the row that showed ECR 2's "Prn"
  EXPECT_EQ(grid.Rows()[2][0], "3");
  EXPECT_EQ(grid.Rows()[2][2], "Prn");
  EXPECT_EQ(grid.Rows()[1][2], "Off");
}

TEST_F(StatusGridTest, SetIdTextIsCutAtEightyCharacters) {
  TEcr ecr;
  for (std::size_t k = 1; k <= SET_COUNT; ++k) ecr.Sets[k].OwnerID = 499;
  const std::string text = SetIdText(ecr);
  EXPECT_EQ(text.size(), SET_ID_MAX);
  EXPECT_EQ(text.substr(0, 20), "1:499;2:499;3:499;4:");
}

TEST_F(StatusGridTest, ResetKeepsOneDataRowAndServedRowsDoNotAge) {
  Serve(1);
  Serve(2);
  s.IniStru.ERData[2].CurrMode = MD_INLINE;
  Refresh();
  grid.Reset();
  EXPECT_EQ(grid.RowCount(), 2u);
  s.IniStru.ERData[2].CurrMode = MD_INLINE;
  s.IniStru.ERData[2].CurrTO = 0;
  EXPECT_EQ(ServedEcrRows(*s.Ecrs, s.IniStru.ERData),
            (Rows{{"1", "000000", "Off", ""}, {"2", "000000", "InLine", ""}}));
  EXPECT_EQ(s.IniStru.ERData[2].CurrMode, MD_INLINE);
}

TEST(StatusTexts, LabelsAndSerialNumbers) {
  TIniStru ini;
  EXPECT_EQ(SettingsText(ini), "Port: COM1 Speed: 4800  IP Port: 4999");
  EXPECT_EQ(LanguageText(1), "Code table: " + LanguageName(1));
  EXPECT_EQ(SerNoText(0), "000000");
  EXPECT_EQ(SerNoText(-5), "-000005");
  EXPECT_FALSE(ModeText(4));
}

TEST(TrayMenu, ItemsInOrderWithCaptionsTagsAndHelpContexts) {
  std::string order;
  for (const auto& d : TRAY_MENU) order += std::string(d.Separator() ? "-" : d.Caption) + "|";
  EXPECT_EQ(order, "&Access|&Offset|Server &Ports|&Code table|-|S&tatus|&Help|-|&Start|E&xit|");
  for (const auto& d : TRAY_MENU) {
    if (d.Separator()) continue;
    EXPECT_GE(d.Tag, 1);
    EXPECT_LE(d.Tag, GLYPH_COUNT);
    EXPECT_EQ(HelpAnchor(d.HelpContext).empty(), d.HelpContext == HELP_CONTENTS) << d.Name;
  }
  EXPECT_EQ(HelpAnchor(230), "help-230");
}

TEST(HelpTopics, AnchorsNameTheNextHeading) {
  const auto anchors = HeadingAnchors(
      "# Guide\n\n<a name=\"help-210\"></a>\n## Access: the passwords\r\ntext\n"
      "<a name=\"trouble\"></a>\n\n### When something is wrong \n<a name=\"dangling\"></a>\n");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Access: the passwords", "help-210"}, {"When something is wrong", "trouble"}};
  EXPECT_EQ(anchors, expected);
}

TEST(TrayMenu, StatesFollowTheServer) {
  constexpr TMenuState running = MenuStateFor(true);
  constexpr TMenuState stopped = MenuStateFor(false);
  EXPECT_FALSE(running.SettingsEnabled);
  EXPECT_EQ(running.StartStopCaption, "&Stop");
  EXPECT_EQ(running.StartStopTag, TAG_STOP);
  EXPECT_EQ(running.TrayImage, IMAGE_RUNNING);
  EXPECT_TRUE(stopped.SettingsEnabled);
  EXPECT_EQ(stopped.StartStopCaption, "&Start");
  EXPECT_EQ(stopped.StartStopTag, TAG_START);
  EXPECT_EQ(stopped.TrayImage, IMAGE_STOPPED);
  EXPECT_EQ(StartStopActionFor(false), TStartStopAction::Start);
  EXPECT_EQ(StartStopActionFor(true), TStartStopAction::StopAfterPassword);
  int settings = 0;
  for (const auto& d : TRAY_MENU) settings += IsSettingsItem(d.Item);
  EXPECT_EQ(settings, 4);
}

TEST(DialogRules, PasswordPrompt) {
  EXPECT_FALSE(PromptNeeded(""));
  EXPECT_TRUE(PromptNeeded("x"));
  EXPECT_TRUE(PasswordMatches("Secret", "Secret"));
  EXPECT_FALSE(PasswordMatches("secret", "Secret"));
  EXPECT_FALSE(PasswordMatches("Secret ", "Secret"));
}

TEST(DialogRules, AccessKeepsNineCharactersAndSetPasswordsGoToTheirSet) {
  EXPECT_TRUE(VerificationMatches("", ""));
  EXPECT_FALSE(VerificationMatches("abc", "abC"));
  EXPECT_EQ(StoredPassword("0123456789abcdef"), "012345678");
  TIniStru ini;
  ApplySetPassword(ini, 14, "twentycharacterslong");
  EXPECT_EQ(ini.SetPW[14].view(), "twentycha");
  EXPECT_TRUE(ini.SetPW[13].empty());
}

TEST(DialogRules, OffsetParse) {
  struct Case {
    const char* text;
    TOffsetVerdict verdict;
    std::int32_t value;
  };
  const Case cases[] = {
      {"1", TOffsetVerdict::Store, 1},           {" 250 ", TOffsetVerdict::Store, 250},
      {"+7", TOffsetVerdict::Store, 7},          {"2147483647", TOffsetVerdict::Store, 2147483647},
      {"0", TOffsetVerdict::BadNumber, 0},       {"", TOffsetVerdict::BadNumber, 0},
      {"12a", TOffsetVerdict::BadNumber, 0},     {"2147483648", TOffsetVerdict::BadNumber, 0},
      {"1.5", TOffsetVerdict::BadNumber, 0},     {"-1", TOffsetVerdict::RangeError, 0},
      {"-2147483648", TOffsetVerdict::RangeError, 0},
  };
  for (const Case& c : cases) {
    const TOffsetResult r = ParseOffset(c.text);
    EXPECT_EQ(r.Verdict, c.verdict) << c.text;
    if (c.verdict == TOffsetVerdict::Store) {
      EXPECT_EQ(r.Value, c.value) << c.text;
    }
  }
}

TEST(DialogRules, SpeedListFallsBackTo4800) {
  EXPECT_EQ(SPEEDS_LIST[SpeedIndex(38400)], 38400);
  EXPECT_EQ(SPEEDS_LIST[SpeedIndex(1200)], 1200);
  EXPECT_EQ(SPEEDS_LIST[SpeedIndex(57600 % 65536)], 4800);
  EXPECT_EQ(SPEEDS_LIST[SpeedIndex(0)], 4800);
}

TEST(DialogRules, IPPortParse) {
  struct Case {
    const char* text;
    TIPPortVerdict verdict;
    std::uint16_t value;
  };
  const Case cases[] = {
      {"5000", TIPPortVerdict::Store, 5000},      {"65535", TIPPortVerdict::Store, 65535},
      {"0", TIPPortVerdict::Store, 0},            {"abc", TIPPortVerdict::Store, 4999},
      {"", TIPPortVerdict::Store, 4999},          {"65536", TIPPortVerdict::RangeError, 4999},
      {"99999999999", TIPPortVerdict::RangeError, 4999}, {"-1", TIPPortVerdict::RangeError, 4999},
  };
  for (const Case& c : cases) {
    const TIPPortResult r = ParseIPPort(c.text, 4999);
    EXPECT_EQ(r.Verdict, c.verdict) << c.text;
    EXPECT_EQ(r.Value, c.value) << c.text;
  }
  EXPECT_EQ(StoredPortName("COM123456"), "COM123");
  EXPECT_EQ(StoredPortName(""), "");
}

TEST(DialogRules, CodeTableChangesOnlyOnAnotherChoice) {
  EXPECT_EQ(ChosenCodeTable(3, 2), std::nullopt);
  EXPECT_EQ(ChosenCodeTable(3, 0), 1);
  EXPECT_EQ(ChosenCodeTable(3, 5), 6);
  EXPECT_EQ(ChosenCodeTable(3, -1), std::nullopt);
}

TEST(DialogRules, OnePromptAtATime) {
  TPromptGuard guard;
  {
    auto first = guard.Enter();
    ASSERT_TRUE(first);
    EXPECT_TRUE(guard.Open());
    EXPECT_FALSE(guard.Enter());
    EXPECT_TRUE(guard.Open());  // the refused second request leaves the first one open
  }
  EXPECT_FALSE(guard.Open());
  EXPECT_TRUE(guard.Enter());
}

TEST(PortList, ShortNames) {
  EXPECT_EQ(ShortPortName("ttyS0"), "COM1");
  EXPECT_EQ(ShortPortName("ttyS31"), "COM32");
  EXPECT_EQ(ShortPortName("ttyUSB0"), "USB0");
  EXPECT_EQ(ShortPortName("ttyACM12"), "ACM12");
  EXPECT_EQ(ShortPortName("ttyAMA0"), "AMA0");
  EXPECT_EQ(ShortPortName("ttyUSB1000"), std::nullopt);  // more than the settings hold
  EXPECT_TRUE(PortNameLess("COM2", "COM10"));
  EXPECT_TRUE(PortNameLess("ACM0", "COM1"));
}

TEST(PortList, ListsTtysWithADeviceSortedWithTheirByIdNames) {
  kassiro::testing::TempDir dir;
  namespace fs = std::filesystem;
  const fs::path sys = dir / "class-tty", byId = dir / "by-id", devices = dir / "devices";
  fs::create_directories(devices);
  for (const char* tty : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyACM0", "tty0", "ptmx", "console"}) {
    fs::create_directories(sys / tty);
  }
  for (const char* tty : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyACM0"}) {
    fs::create_directory_symlink(devices, sys / tty / "device");
  }
  fs::create_directories(byId);
  fs::create_symlink("../../ttyUSB0", byId / "usb-FTDI_FT232R_USB_UART_A1-if00-port0");
  const auto ports = ListSerialPorts(sys, byId);
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"ACM0", "COM1", "COM2", "COM11", "USB0"}));
  EXPECT_EQ(ports.back().Device, "/dev/ttyUSB0");
  EXPECT_EQ(ports.back().Description, "usb-FTDI_FT232R_USB_UART_A1-if00-port0");
  EXPECT_EQ(ports.front().Description, "");
  EXPECT_TRUE(ListSerialPorts(dir / "missing", dir / "missing").empty());
}

// The guide beside the program comes first (the build tree), then the documentation
// folder reached from the program's folder (an installation anywhere, an unpacked
// package), then the folder the build was made for.
TEST(GuidePath, FirstPlaceThatHoldsTheGuide) {
  struct TCase {
    const char* name;
    std::vector<std::string> files;  // relative to the root
    std::string want;
  };
  const TCase cases[] = {
      {"build tree", {"usr/bin/kassiro.md", "usr/share/doc/kassiro-tray/operator.md"}, "usr/bin/kassiro.md"},
      {"installed", {"usr/share/doc/kassiro-tray/operator.md", "opt/doc/operator.md"},
       "usr/share/doc/kassiro-tray/operator.md"},
      {"only where the build was to go", {"opt/doc/operator.md"}, "opt/doc/operator.md"},
      {"a folder of that name is no guide", {"usr/bin/kassiro.md/x"}, "usr/bin/kassiro.md"},
      {"nowhere", {}, "usr/bin/kassiro.md"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    kassiro::testing::TempDir root;
    for (const auto& f : c.files) {
      std::filesystem::create_directories((root / f).parent_path());
      std::ofstream(root / f) << "# guide\n";
    }
    const TGuidePlaces places{"../share/doc/kassiro-tray", root / "opt/doc"};
    EXPECT_EQ(FindGuide(root / "usr/bin/kassiro", places), root / c.want);
  }
  EXPECT_EQ(GuideCandidates("/usr/bin/kassiro", {"../share/doc/kassiro-tray", "/usr/local/share/doc/kassiro-tray"}),
            (std::vector<std::filesystem::path>{"/usr/bin/kassiro.md", "/usr/share/doc/kassiro-tray/operator.md",
                                                "/usr/local/share/doc/kassiro-tray/operator.md"}));
}

}  // namespace
}  // namespace kassiro::ui
