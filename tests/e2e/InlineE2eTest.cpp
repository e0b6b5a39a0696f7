// A client's command to an ECR, from its TCP request to the ECR's reply and back.
#include "E2eFixture.h"
#include "Exchanges.h"

namespace kassiro::e2e {
namespace {

struct TInlineCase {
  const char* Name;
  const char* Script;
  bool MuteAfterCommand;     // the ECR hears the command but never acknowledges it
  std::size_t CommandFrames; // how often the ECR hears the command
  std::string_view Result;
};

// ECR 2 answers every take with its serial number (004711;, an in-line answer).
const TInlineCase kInlineCases[] = {
    {"Reply", "ecr 2 serial 004711\nreply R \"0;\"\n", false, 1, kInlineResultOk},
    {"ErrorReply", "ecr 2 serial 004711\nreply R \"E5;\"\n", false, 1, kInlineResultEcrError},
    // One transmission and eight repeats, each refused: the client's own text comes back.
    {"Nak", "ecr 2 serial 004711\nfault nak 9\n", false, 9, kInlineResultNak},
    // No ACK within the window after the frame: time-out, again with the client's text.
    {"NoAck", "ecr 2 serial 004711\n", true, 1, kInlineResultTimeout},
};

// Test listings show the case by its name, not as a dump of its bytes.
void PrintTo(const TInlineCase& c, std::ostream* os) { *os << c.Name; }

class InlineE2e : public E2eTest, public ::testing::WithParamInterface<TInlineCase> {};

TEST_P(InlineE2e, ResultReachesOwnerAndListener) {
  const TInlineCase& tc = GetParam();
  Start(tc.Script);
  TcpClient& listener = Connect();
  TcpClient& owner = Connect();
  Request(listener, kTakeRprlRequest, kTakeRprlAnswer);
  Request(owner, kTakeRprRequest, kTakeRprAnswer);
  EXPECT_EQ(Recv(listener), Show(kTakeRprAnswer));
  // The ECR is polled now and answers in-line; nothing is queued yet.
  ASSERT_TRUE(FSimHeard.WaitForCount("take 02", 2));
  EXPECT_EQ(FSimHeard.CountPrefix("frame"), 0u);

  if (tc.MuteAfterCommand) MuteAfterNextFrame();
  ASSERT_TRUE(owner.Send(kInlineRequest));
  // The first message after the request is the result: nothing answers the queueing.
  EXPECT_EQ(Recv(owner), Show(tc.Result));
  EXPECT_EQ(Recv(listener), Show(tc.Result));
  EXPECT_EQ(FSimHeard.Count("frame " + std::string(kInlineEcrReceives) + " crc ok"), tc.CommandFrames);

  // The set is idle again: its phase reads 0, and the owner can release it.
  Request(owner, kPhaseRprRequest, kPhaseRprIdleAnswer);
  EXPECT_EQ(Recv(listener), Show(kPhaseRprIdleAnswer));
  Request(owner, kReleaseRprRequest, kReleaseRprAnswer);
  EXPECT_EQ(Recv(listener), Show(kReleaseRprAnswer));
  Request(listener, kReleaseRprlRequest, kReleaseRprlAnswer);
  EXPECT_TRUE(owner.NothingWaiting());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, InlineE2e, ::testing::ValuesIn(kInlineCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// The take answer 004711; is what the server records as the ECR's serial number and
// in-line mode.
TEST_F(E2eTest, InlinePollAnswerRecordsSerialNumberAndMode) {
  Start("ecr 2 serial 004711\n");
  TcpClient& owner = Connect();
  Request(owner, kTakeRprRequest, kTakeRprAnswer);
  EXPECT_TRUE(WaitForSimSent(2, kInlinePollAnswer));
  EXPECT_TRUE(WaitForSession([](Session& s) {
    return s.IniStru.ERData[2].SerNum == 4711 && s.IniStru.ERData[2].CurrMode == MD_INLINE &&
           s.IniStru.ERData[2].CurrTO == DISP_TO;
  }));
}

}  // namespace
}  // namespace kassiro::e2e
