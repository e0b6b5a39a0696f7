// The operator's rules without any window: status rows and their ageing, the menu's
// states, the dialogs' rules and where the guide lies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "operator/GuidePath.h"
#include "operator/HelpTopics.h"
#include "operator/ServerFacade.h"
#include "operator/SettingsRules.h"
#include "operator/StatusGrid.h"
#include "operator/TrayMenu.h"
#include "util/LangTbl.h"

namespace kassiro::op {
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


// kassirod's setting parameters go by the dialogs' rules; where a dialog would cut or
// keep, a parameter is refused.
TEST(SettingParams, AcceptedOnesBecomeOneEditRefusedOnesSayWhy) {
  const TPortProblem port = [](const std::string& name) {
    return name == "COM1" || name == "/dev/pts/12" ? std::string() : std::string(" (no such device)");
  };
  struct TCase {
    const char* name;
    const char* value;
    std::optional<std::string> why;  // none: accepted
  };
  const TCase cases[] = {
      {"SPEED", "9600", std::nullopt},
      {"SPEED", "9601", " (speeds: 1200 2400 4800 9600 14400 19200 28800 38400)"},
      {"SPEED", "0", ""},
      {"SPEED", "fast", ""},
      {"IPPORT", "0", std::nullopt},
      {"IPPORT", "65536", ""},
      {"IPPORT", "abc", ""},  // the dialog would keep the current port
      {"PASSWORD", "", std::nullopt},
      {"PASSWORD", "123456789", std::nullopt},
      {"PASSWORD", "abcdefghij", ""},  // the dialog would keep nine characters
      {"OFFSET", "500", std::nullopt},
      {"OFFSET", "0", ""},
      {"OFFSET", "-1", ""},
      {"SETPW", "14:x", std::nullopt},
      {"SETPW", "15:x", ""},
      {"SETPW", "5:abcdefghij", ""},
      {"SETPW", "5", ""},
      {"LANGUAGEID", "6", std::nullopt},
      {"LANGUAGEID", "7", ""},
      {"PORT", "COM1", std::nullopt},
      {"PORT", "ttyZZ9", " (no such device)"},
      {"LISTEN", "127.0.0.1", std::nullopt},
      {"JOURNAL", "", std::nullopt},
      {"JOURNAL", "0", std::nullopt},
      {"JOURNAL", "3650", std::nullopt},
      {"JOURNAL", "3651", " (days: 0 to 3650)"},
      {"JOURNAL", "dump", " (days: 0 to 3650)"},
      {"VERBOSE", "", ""},
  };
  for (const TCase& c : cases) {
    TParamSettings into;
    EXPECT_EQ(TakeSettingParam(c.name, c.value, port, into), c.why) << c.name << ":" << c.value;
    EXPECT_EQ(into.Empty(), c.why.has_value()) << c.name << ":" << c.value;
  }
}

TEST(SettingParams, AnEditStoresWhatItSetsAndALongPortIsForThisRunOnly) {
  const TPortProblem port = [](const std::string&) { return std::string(); };
  TParamSettings into;
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"SPEED", "38400"}, {"PASSWORD", "secret"}, {"SETPW", "2:pw"}, {"PORT", "/dev/pts/12"},
           {"LANGUAGEID", "3"}, {"JOURNAL", ""}}) {
    ASSERT_FALSE(TakeSettingParam(name, value, port, into)) << name;
  }
  EXPECT_EQ(into.JournalDays, 31);
  EXPECT_EQ(into.PortOverride, "/dev/pts/12");
  EXPECT_EQ(into.LanguageID, 3);
  TIniStru ini;
  ini.GlobalBon = 77;
  ApplyEdit(into.Edit, ini);
  EXPECT_EQ(ini.Speed, 38400);
  EXPECT_EQ(ini.sPassword.view(), "secret");
  EXPECT_EQ(ini.SetPW[2].view(), "pw");
  EXPECT_EQ(ini.ComPortName.view(), "COM1");  // the record's port stays
  EXPECT_EQ(ini.GlobalBon, 77);
  EXPECT_EQ(ini.IPPort, TIniStru{}.IPPort);
}

// Where no window counts a mode down, it has an age: the time since the session last
// recorded it; none when it has not since the start.
TEST(RecordsSnapshot, ServedEcrsWithTheAgeOfTheirMode) {
  Session s;
  TSessionRecords records(s);
  (*s.Ecrs)[4].UserCount = 1;
  (*s.Ecrs)[9].UserCount = 2;
  (*s.Ecrs)[9].Sets[5].OwnerID = 3;
  s.IniStru.ERData[4].CurrMode = MD_ONLINE;  // left from an earlier run
  RecordMode(s, 9, MD_PRN);
  (*s.Ecrs)[11].ModeSince = TModeClock::now();  // not served: not listed
  s.ServerStatus = 1;
  EXPECT_EQ(s.IniStru.ERData[9].CurrTO, DISP_TO);

  const TRecordsSnapshot snap = records.Snapshot((*s.Ecrs)[9].ModeSince + std::chrono::seconds(42));
  ASSERT_EQ(snap.Served.size(), 2u);
  EXPECT_EQ(snap.Served[0].LogNo, 4);
  EXPECT_EQ(snap.Served[0].ModeAge, std::nullopt);
  EXPECT_EQ(snap.Served[1].LogNo, 9);
  EXPECT_EQ(snap.Served[1].Data.CurrMode, MD_PRN);
  EXPECT_EQ(snap.Served[1].ModeAge, std::chrono::seconds(42));
  EXPECT_EQ(snap.Served[1].Ecr.Sets[5].OwnerID, 3);
  EXPECT_EQ(snap.ServerStatus, 1);
  EXPECT_EQ(s.IniStru.ERData[9].CurrTO, DISP_TO);  // a snapshot ages nothing

  s.ClearStructures();  // a stop: nothing recorded since
  (*s.Ecrs)[9].UserCount = 1;
  EXPECT_EQ(records.Snapshot().Served.at(0).ModeAge, std::nullopt);
}

}  // namespace
}  // namespace kassiro::op
