// Reports and queries that an ECR raises on-line, delivered to the clients that hold
// the sets, and the clients' answers back to the ECR.
#include "E2eFixture.h"
#include "Exchanges.h"

namespace kassiro::e2e {
namespace {

// ECR 3 numbers its blocks from 3: an unknown command `?` (dropped, no counter moves), the
// sale report under number 4, sent twice, then an article query under number 5.
constexpr const char* kReportQueryScript = R"(
ecr 3 serial 123456
block 3
online "{serial};{block};?;X;"
online "{serial};{block};0;A;B;" times 2
online "{serial};{block};8;4711;;12.50;" answer
)";

void LineSevenReceipt120(TIniStru& ini) {
  ini.ERData[3].Line = 7;
  ini.ERData[3].Bon = 120;
}

TEST_F(E2eTest, ReportIsForwardedOnceAndQueryIsAnswered) {
  Start(kReportQueryScript, LineSevenReceipt120);
  TcpClient& ersl = Connect();
  TcpClient& ecpl = Connect();
  TcpClient& ers = Connect();
  TcpClient& ecp = Connect();
  // The listening sets first: polling starts with the first main set.
  Request(ersl, kTakeErslRequest, kTakeErslAnswer);
  Request(ecpl, kTakeEcplRequest, kTakeEcplAnswer);
  Request(ers, kTakeErsRequest, kTakeErsAnswer);
  EXPECT_EQ(Recv(ersl), Show(kTakeErsAnswer));

  // The report, with line 7 and receipt 120 appended, to the holders of sets 1 and 2.
  EXPECT_EQ(Recv(ers), Show(kReportMessage));
  EXPECT_EQ(Recv(ersl), Show(kReportMessage));
  EXPECT_TRUE(WaitForSimSent(3, kReportBlock, 2));
  EXPECT_TRUE(WaitForLog(kRepeatedReportLogLine));
  // Nobody holds set 9 yet, so the query blocks that follow move no counter either.
  EXPECT_EQ(WithSession([](Session& s) { return s.IniStru.ERData[3].Line; }), 8);

  // The query, with line 8: the repeated report did not count.
  Request(ecp, kTakeEcpRequest, kTakeEcpAnswer);
  EXPECT_EQ(Recv(ecpl), Show(kTakeEcpAnswer));
  EXPECT_EQ(Recv(ecp), Show(kQueryMessage));
  EXPECT_EQ(Recv(ecpl), Show(kQueryMessage));
  EXPECT_TRUE(WaitForSimSent(3, kQueryBlock));

  // Nothing else reached the report set's holders: their next message answers a probe.
  Request(ers, kPhaseErsRequest, kPhaseErsIdleAnswer);
  EXPECT_EQ(Recv(ersl), Show(kPhaseErsIdleAnswer));

  // The answer goes to the ECR; once it acknowledged, the holders get the result.
  ASSERT_TRUE(ecp.Send(kAnswerRequest));
  EXPECT_EQ(Recv(ecp), Show(kAnswerResult));
  EXPECT_EQ(Recv(ecpl), Show(kAnswerResult));
  EXPECT_EQ(FSimHeard.Count("frame " + std::string(kAnswerEcrReceives) + " crc ok"), 1u);
  // The request is closed: a second answer is too late.
  Request(ecp, kAnswerRequest, kAnswerTooLate);
  EXPECT_EQ(Recv(ecpl), Show(kAnswerTooLate));
}

// ECR 3 asks under block number 5 and keeps asking until it is answered.
constexpr const char* kQueryScript = R"(
ecr 3 serial 123456
block 5
online "{serial};{block};8;4711;;12.50;" answer
)";

TEST_F(E2eTest, RefusedQueryAndAnswerAfterTheWindow) {
  Start(kQueryScript, [](TIniStru& ini) {
    ini.ERData[3].Line = 8;
    ini.ERData[3].Bon = 120;
  });
  TcpClient& ecp = Connect();
  Request(ecp, kTakeEcpRequest, kTakeEcpAnswer);
  EXPECT_EQ(Recv(ecp), Show(kQueryMessage));

  // A refusal is answered at once; the ECR gets no answer and asks again (next line).
  Request(ecp, kForbidRequest, kForbidAnswer);
  EXPECT_EQ(Recv(ecp), Show(kQueryAgainMessage));

  // Let the 6000 ms window pass: the ECR falls silent, so the next take of it comes
  // after the server has given up waiting, and no new query reopens the window.
  const std::size_t takesSoFar = FSimHeard.Count("take 03");
  ASSERT_TRUE(AddSimFault(3, ecrsim::TFaultKind::Silent, ecrsim::TFaults::Always));
  ASSERT_TRUE(FSimHeard.WaitForCount("take 03", takesSoFar + 1));
  Request(ecp, kAnswerRequest, kAnswerTooLate);
  EXPECT_EQ(FSimHeard.CountPrefix("frame"), 0u) << "the ECR was sent an answer";
}

// ECR 3 reports a sale at every take; ECR 7 only ever answers in-line.
constexpr const char* kTwoEcrScript = R"(
ecr 3 serial 333333
online "{serial};{block};0;A;B;"
loop
ecr 7 serial 777777
)";

// An ECR too slow for its take: its answer comes after the server took the next ECR,
// just ahead of that ECR's own. Data frames carry no ECR number; the serial number in
// field 1 tells whose the frame is.
TEST_F(E2eTest, ALateFrameOfOneEcrNeverReachesTheClientsOfTheNextOne) {
  Start(kTwoEcrScript);
  TcpClient& ers7 = Connect();
  TcpClient& ers3 = Connect();
  Request(ers7, Msg(ST_ERS, COP_REQ, 7, 0, "pw;"), Msg(ST_ERS, COP_REQ, 7, 0));
  ASSERT_TRUE(WaitForSimSent(7, "777777;"));
  Request(ers3, Msg(ST_ERS, COP_REQ, 3, 0, "pw;"), Msg(ST_ERS, COP_REQ, 3, 0));
  EXPECT_EQ(Recv(ers3), Show(Msg(ST_ERS, PLU_R, 3, 0, "333333;0;A;B;1;1;")));

  ASSERT_TRUE(AddSimFault(3, ecrsim::TFaultKind::Late, 2));
  EXPECT_TRUE(WaitForLog("Take 7: a frame of ECR 3 (serial 333333) was left unacknowledged"));
  // ECR 3's held-back reports come again and reach its own client, in order.
  for (int block = 1; block <= 3; ++block)
    EXPECT_EQ(Recv(ers3), Show(Msg(ST_ERS, PLU_R, 3, 0,
                                   "333333;" + std::to_string(block) + ";A;B;" +
                                       std::to_string(block + 1) + ";1;")));
  // Nothing reached ECR 7's client: its next message answers a probe.
  Request(ers7, Msg(ST_ERS, COP_PHASE, 7, 0), Msg(ST_ERS, COP_PHASE, 7, 0));
}

// Registers as met in the field: ECR 3's on-line blocks carry 1 in field 1 where its
// poll answers carry 333333, and ECR 7's number changed since the last start, the
// settings record still holding the old one. Their reports reach their own clients.
constexpr const char* kFieldSerialScript = R"(
ecr 3 serial 333333
online "1;{block};0;A;B;"
online "1;{block};0;C;D;"
ecr 7 serial 777777
online "{serial};{block};0;E;F;"
)";

TEST_F(E2eTest, RegistersWithAnotherSerialNumberThanTheKnownOneGetTheirReportsThrough) {
  Start(kFieldSerialScript, [](TIniStru& ini) {
    ini.ERData[3].SerNum = 333333;
    ini.ERData[7].SerNum = 700000;
  });
  TcpClient& ers3 = Connect();
  TcpClient& ers7 = Connect();
  Request(ers3, Msg(ST_ERS, COP_REQ, 3, 0, "pw;"), Msg(ST_ERS, COP_REQ, 3, 0));
  Request(ers7, Msg(ST_ERS, COP_REQ, 7, 0, "pw;"), Msg(ST_ERS, COP_REQ, 7, 0));
  EXPECT_EQ(Recv(ers3), Show(Msg(ST_ERS, PLU_R, 3, 0, "1;0;A;B;1;1;")));
  EXPECT_EQ(Recv(ers3), Show(Msg(ST_ERS, PLU_R, 3, 0, "1;1;C;D;2;1;")));
  // Its receipt number follows ECR 3's from the one counter of all ECRs.
  const std::string report7 = Recv(ers7);
  EXPECT_EQ(report7.rfind("01 80 00 07 00 \"777777;0;E;F;1;", 0), 0u) << report7;
  ASSERT_TRUE(WaitForSimSent(3, "333333;"));  // its poll answers after the blocks
  EXPECT_EQ(WithSession([](Session& s) { return s.IniStru.ERData[7].SerNum; }), 777777);
}

}  // namespace
}  // namespace kassiro::e2e
