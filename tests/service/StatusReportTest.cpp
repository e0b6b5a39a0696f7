// What `kassirod -Status` prints of the served ECRs' modes: no window counts them down
// there, so each comes with its age, and a mode not seen since the start is "Off".
#include <gtest/gtest.h>

#include <mutex>
#include <regex>

#include "TempDir.h"
#include "core/LogFile.h"
#include "service/StatusReport.h"

namespace kassiro {
namespace {

struct StatusReportTest : ::testing::Test {
  StatusReportTest() { BindProgramLog(dir / "kassirod"); }
  ~StatusReportTest() override { BindProgramLog(ExecutablePath()); }

  testing::TempDir dir;
  TKassiroServer server{dir / "kassirod"};
  op::TServerFacade facade{server};
};

TEST_F(StatusReportTest, AModeComesWithItsAgeAndOneNotSeenSinceTheStartIsOff) {
  {
    // The test plays the session here.
    Session& s = server.GetSession();
    const std::lock_guard lock(s.Lock);
    (*s.Ecrs)[3].UserCount = 1;
    (*s.Ecrs)[3].Sets[5].OwnerID = 1;
    RecordMode(s, 3, MD_INLINE);
    (*s.Ecrs)[4].UserCount = 1;
    s.IniStru.ERData[4].CurrMode = MD_ONLINE;  // from the settings file of an earlier run
    s.IniStru.ERData[4].CurrTO = DISP_TO;
  }
  const TStatusReport r = TakeStatus(facade, std::chrono::seconds(5));
  ASSERT_EQ(r.Ecrs.size(), 2u);
  EXPECT_EQ(r.Ecrs[0].Row[2], "InLine");
  ASSERT_TRUE(r.Ecrs[0].ModeAgeSeconds);
  EXPECT_LE(*r.Ecrs[0].ModeAgeSeconds, 1);
  EXPECT_EQ(r.Ecrs[1].Row[2], "Off");
  EXPECT_FALSE(r.Ecrs[1].ModeAgeSeconds);

  const std::string text = StatusText(r);
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n3       000000  InLine\([01]s\) 5:1;\n)"))) << text;
  EXPECT_NE(text.find("\n4       000000  Off     \n"), std::string::npos) << text;
  const std::string json = StatusJson(r);
  EXPECT_TRUE(std::regex_search(json, std::regex(R"("logNo":3,"serNo":"000000","mode":"InLine","modeAgeSeconds":[01],)")))
      << json;
  EXPECT_NE(json.find(R"("logNo":4,"serNo":"000000","mode":"Off","modeAgeSeconds":null,)"), std::string::npos) << json;
}

// An old mode keeps its name, and its age says how old it is.
TEST_F(StatusReportTest, TheAgeGrowsWithTheTimeSinceTheModeWasRecorded) {
  TStatusReport r;
  TEcrStatus e;
  e.LogNo = 12;
  e.Row = {"12", "004711", "OnLine", "1:2;"};
  e.ModeAgeSeconds = 3725;
  EXPECT_EQ(ModeWithAge(e), "OnLine(3725s)");
  r.Ecrs.push_back(e);
  EXPECT_NE(StatusText(r).find("\n12      004711  OnLine(3725s) 1:2;\n"), std::string::npos) << StatusText(r);
}

}  // namespace
}  // namespace kassiro
