// Receipt steps: a client queues a step, the ECR asks for it, the client hears that the
// step went out and, with the ECR's next block, whether the ECR carried it out.
#include "E2eFixture.h"
#include "Exchanges.h"

namespace kassiro::e2e {
namespace {

// ECR 3 asks for a receipt step under block number 4 until it gets one, then goes on
// with block 5 (a sale report): the step is confirmed.
constexpr const char* kConfirmingScript = R"(
ecr 3 serial 000123
block 4
online "{serial};{block};A;" answer
online "{serial};{block};0;X;"
)";
// The same request is sent again under number 4 after it was answered: not confirmed.
constexpr const char* kRepeatingScript = R"(
ecr 3 serial 000123
block 4
online "{serial};{block};A;" answer times 2
)";

void Line7Receipt90(TIniStru& ini) {
  ini.GlobalBon = 500;
  ini.ERData[3].Line = 7;
  ini.ERData[3].Bon = 90;
}

struct TReceiptCase {
  const char* Name;
  const char* Script;
  std::string_view TakeRequest, TakeAnswer, LoadRequest, Interim, Final;
};

const TReceiptCase kReceiptCases[] = {
    {"Confirmed", kConfirmingScript, kTakeRecRequest, kTakeRecAnswer, kRecLoadRequest,
     kRecInterim, kRecFinal},
    {"NotExecuted", kRepeatingScript, kTakeRecRequest, kTakeRecAnswer, kRecLoadRequest,
     kRecInterim, kRecFinalNotExecuted},
    // ST_PCS holds set 13 too; the step is loaded through set 3 and reported under it.
    {"ThroughPcsConfirmed", kConfirmingScript, kTakePcsRequest, kTakePcsAnswer, kPcsLoadRequest,
     kPcsInterim, kPcsFinal},
    {"ThroughPcsNotExecuted", kRepeatingScript, kTakePcsRequest, kTakePcsAnswer, kPcsLoadRequest,
     kPcsInterim, kPcsFinalNotExecuted},
};

// Test listings show the case by its name, not as a dump of its bytes.
void PrintTo(const TReceiptCase& c, std::ostream* os) { *os << c.Name; }

class ReceiptE2e : public E2eTest, public ::testing::WithParamInterface<TReceiptCase> {};

TEST_P(ReceiptE2e, InterimThenFinalResult) {
  const TReceiptCase& tc = GetParam();
  Start(tc.Script, Line7Receipt90);
  TcpClient& recl = Connect();
  TcpClient& owner = Connect();
  Request(recl, kTakeReclRequest, kTakeReclAnswer);
  Request(owner, tc.TakeRequest, tc.TakeAnswer);
  if (tc.TakeAnswer == kTakeRecAnswer) {
    EXPECT_EQ(Recv(recl), Show(kTakeRecAnswer));  // set 3 has no listener here
  }
  // Polled now, the ECR asks and gets nothing until a step is queued.
  ASSERT_TRUE(FSimHeard.WaitForCount("take 03", 2));

  ASSERT_TRUE(owner.Send(tc.LoadRequest));
  // The step went out: the first message after the load is the interim one.
  EXPECT_EQ(Recv(owner), Show(tc.Interim));
  EXPECT_EQ(Recv(recl), Show(tc.Interim));
  EXPECT_EQ(FSimHeard.Count("frame " + std::string(kRecEcrReceives) + " crc ok"), 1u);
  EXPECT_TRUE(WaitForSimSent(3, kReceiptRequestBlock));
  // The ECR's next block decides.
  EXPECT_EQ(Recv(owner), Show(tc.Final));
  EXPECT_EQ(Recv(recl), Show(tc.Final));
  EXPECT_EQ(WithSession([](Session& s) { return s.IniStru.ERData[3].Bon; }), 90);
}

INSTANTIATE_TEST_SUITE_P(Steps, ReceiptE2e, ::testing::ValuesIn(kReceiptCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// Closing a receipt draws the next receipt number; a server started again on the same
// files continues from there.
TEST_F(E2eTest, ReceiptNumbersSurviveRestart) {
  Start(R"(
ecr 3 serial 000123
block 4
online "{serial};{block};A;" answer
)",
        Line7Receipt90);
  TcpClient& owner = Connect();
  Request(owner, kTakeRecRequest, kTakeRecAnswer);
  ASSERT_TRUE(owner.Send(kRecCloseRequest));
  EXPECT_EQ(Recv(owner), Show(kRecCloseInterim));
  EXPECT_EQ(FSimHeard.Count("frame " + std::string(kRecCloseEcrReceives) + " crc ok"), 1u);
  WithSession([](Session& s) {
    EXPECT_EQ(s.IniStru.GlobalBon, 501);
    EXPECT_EQ(s.IniStru.ERData[3].Bon, 500);
    EXPECT_EQ(s.IniStru.ERData[3].Line, 1);
  });

  FServer->StopKassiro();
  FServer.reset();
  TKassiroServer again(ExePath());
  TIniStru stored;
  ASSERT_TRUE(again.ServerInis().Load(stored));
  EXPECT_EQ(stored.GlobalBon, 501);
  EXPECT_EQ(stored.ERData[3].Bon, 500);
  EXPECT_EQ(stored.ERData[3].Line, 1);
  EXPECT_EQ(stored.Speed, LineSpeed);
}

}  // namespace
}  // namespace kassiro::e2e
