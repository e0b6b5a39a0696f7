// Reports and queries to the clients, and the fiscal-printer and receipt requests.
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "core/KassiroConstants.h"
#include "session/FiscalRequests.h"
#include "session/OnlineHandling.h"
#include "session/ReportsQueries.h"

namespace kassiro::testing {
namespace {

constexpr std::uint16_t A = 41;
constexpr std::uint16_t B = 42;

using ReportsQueries = SessionTest;

TEST_F(ReportsQueries, ReportGoesToTheSetAndItsListener) {
  Take(A, 4, ST_ERS);
  Take(B, 4, ST_ERSL);
  ECRReport(Env, ST_ERS, PLU_C, 4, "r;");
  const std::string m = Wire("05 01 82 00 04 00") + "r;";
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{A, m}, {B, m}}));
  ECRReport(Env, ST_ERS, PLU_C, 5, "r;");  // nobody holds set 1 or 2 of ECR 5
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_TRUE(Poll.Take().empty());
}

TEST_F(ReportsQueries, QueryWithOnlyAListenerReachesNobody) {
  Take(B, 4, ST_ECPL);
  AllowAnswer(S, 4, ST_ECP);
  ECRQuery(Env, ST_ECP, KPQ, 4, "q;");
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  EXPECT_EQ(S.InSeans.St, 0);
  EXPECT_EQ(Data(4).Line, 1);
  EXPECT_EQ(Data(4).Bon, 0);
}

TEST_F(ReportsQueries, QueriesNumberLinesWithinOneReceipt) {
  Take(A, 4, ST_ECP);
  Take(B, 4, ST_ECPL);
  S.IniStru.GlobalBon = 57;
  AllowAnswer(S, 4, ST_ECP);
  ECRQuery(Env, ST_ECP, RPQ, 4, "q;");
  ECRQuery(Env, ST_ECP, RPQ, 4, "q;");
  const std::string first = Msg(ST_ECP, RPQ, 4, 0, "q;1;57;");
  const std::string second = Msg(ST_ECP, RPQ, 4, 0, "q;2;57;");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{A, first}, {B, first}, {A, second}, {B, second}}));
  EXPECT_EQ(S.IniStru.GlobalBon, 58);
  EXPECT_EQ(S.InSeans.St, ST_ECP);  // the window stays open for the answer
  EXPECT_TRUE(Poll.Take().empty());
}

TEST_F(ReportsQueries, LongestQueryIsCutAfterTheNumbers) {
  Take(A, 4, ST_ESR);
  const std::string text(250, 'q');
  ECRQuery(Env, ST_ESR, KSR_Q, 4, ShortStr(text));
  const auto sent = Clients.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].second.size(), 255u);
  EXPECT_EQ(sent[0].second, Msg(ST_ESR, KSR_Q, 4, 0, text));
  EXPECT_EQ(Data(4).Line, 2);
}

constexpr std::uint16_t HOLDER = 43;
const ShortStr REQUEST = "000123;4;";  // serial number 000123, block 4

class FiscalRequests : public SessionTest {
 protected:
  void SetUp() override {
    Take(HOLDER, 3, ST_REC);
    Data(3).Line = 7;
    Data(3).Bon = 90;
    S.IniStru.GlobalBon = 200;
  }
  void Queue(std::uint8_t op, std::string_view text) {
    Set(3, ST_REC).Cop = op;
    Set(3, ST_REC).Phase = NOT_SENDED;
    Set(3, ST_REC).FmAppBuff = text;
    S.WaitRes = {};
  }
};

TEST_F(FiscalRequests, ReceiptRequestThroughTheOnlineBlock) {
  Request(HOLDER, ST_REC, 4, 3, "1;2;");
  Ecr(3).BlockNo = 3;
  HandleOnlReceived(Env, 3, 0, "000123;4;A;");
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"SendOnlBlock L;1;2;"}));
  EXPECT_EQ(Data(3).Line, 8);
  EXPECT_EQ(Set(3, ST_REC).Phase, NOT_COMPLETED);
  EXPECT_EQ(Set(3, ST_REC).Cop, 4);
  EXPECT_EQ(S.WaitRes.St, ST_REC);
  EXPECT_EQ(S.WaitRes.Cop, 4);
  EXPECT_EQ(S.WaitRes.Buff, "1;2;000123;4;7;90;");
  EXPECT_TRUE(S.WaitRes.WaitBlk);
  EXPECT_TRUE(Clients.Take().empty());
}

struct StepRow {
  const char* name;
  void (*ask)(const TSessionEnv&, std::uint8_t, const ShortStr&);
  std::uint8_t op;
  const char* queued;
  const char* block;
  std::uint16_t lineAfter;
  std::int32_t bonAfter;
  const char* result;
};

TEST_F(FiscalRequests, AnswersByRequestAndOperation) {
  const StepRow rows[] = {
      {"sell", AskFPSell, 4, "s;", "s;", 8, 90, "s;000123;4;7;90;"},
      {"sell total", AskFPSell, 6, "t;", "0;;;;;;2;0;0;", 1, 200, "t;000123;4;7;90;"},
      {"print", AskFPPrint, 5, "p;", "p;", 8, 90, "p;000123;4;7;90;"},
      {"line", AskRec, 4, "1;2;", "L;1;2;", 8, 90, "1;2;000123;4;7;90;"},
      {"text", AskRec, 5, "x;", "X;x;", 8, 90, "x;000123;4;7;90;"},
      {"close empty", AskRec, 6, "", "E;0;;;;;", 1, 200, "000123;4;7;90;"},
      {"close with text", AskRec, 6, "5;", "E;5;", 8, 90, "5;000123;4;7;90;"},
      {"correction", AskRec, 8, "c;", "C;c;", 8, 90, "c;000123;4;7;90;"},
      {"info", AskRec, 9, "i;", "I;i;", 8, 90, "i;000123;4;7;90;"},
      {"head", AskRec, 10, "", "H;;;;;;", 7, 90, "000123;4;7;90;"},
      {"foot", AskRec, 11, "", "F;;;;;;", 7, 90, "000123;4;7;90;"},
  };
  for (const StepRow& r : rows) {
    SCOPED_TRACE(r.name);
    Data(3).Line = 7;
    Data(3).Bon = 90;
    S.IniStru.GlobalBon = 200;
    Queue(r.op, r.queued);
    r.ask(Env, 3, REQUEST);
    EXPECT_EQ(Poll.Take(), (std::vector<std::string>{std::string("SendOnlBlock ") + r.block}));
    EXPECT_EQ(Data(3).Line, r.lineAfter);
    EXPECT_EQ(Data(3).Bon, r.bonAfter);
    EXPECT_EQ(S.WaitRes.St, ST_REC);
    EXPECT_EQ(S.WaitRes.Cop, r.op);
    EXPECT_EQ(S.WaitRes.Buff, r.result);
    EXPECT_TRUE(S.WaitRes.WaitBlk);
    EXPECT_EQ(Set(3, ST_REC).Phase, NOT_COMPLETED);
  }
}

TEST_F(FiscalRequests, NumberRequestRewritesFieldThreeAndIsNotParked) {
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"000123;4;007;z;", "H;;;;;;", "000123;4;7;z;7;90;"},
      {"000123;4;0;z;", "F;;;;;;", "000123;4;0;z;7;90;"},
      {"000123;4;;z;", "F;;;;;;", "000123;4;0;z;7;90;"},
      {"000123;4;x;z;", "F;;;;;;", "000123;4;0;z;7;90;"},
      {"000123;4;-5;", "H;;;;;;", "000123;4;-5;7;90;"},
      {"000123;4;300;", "H;;;;;;", "000123;4;300;7;90;"},
      {"000123;4;", "F;;;;;;", "000123;4;0;7;90;"},
  };
  for (const auto& [request, block, result] : rows) {
    SCOPED_TRACE(request);
    Queue(COP_NMBR, "ignored;");
    AskRec(Env, 3, request);
    EXPECT_EQ(Poll.Take(), (std::vector<std::string>{std::string("SendOnlBlock ") + block}));
    EXPECT_EQ(S.WaitRes.Cop, COP_NMBR);
    EXPECT_EQ(S.WaitRes.Buff, result);
    EXPECT_FALSE(S.WaitRes.WaitBlk);
    EXPECT_EQ(Set(3, ST_REC).Phase, NOT_COMPLETED);
    EXPECT_EQ(Data(3).Line, 7);
  }
}

TEST_F(FiscalRequests, UnservedOperationsAreLoggedAndKeepWaiting) {
  LogCapture log;
  Queue(5, "p;");
  AskFPSell(Env, 3, REQUEST);
  EXPECT_TRUE(log.HasLine("AskFPSell: Unknown COP: $05"));
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  EXPECT_EQ(Set(3, ST_REC).Cop, 5);
  EXPECT_EQ(Set(3, ST_REC).Phase, NOT_SENDED);
  EXPECT_EQ(S.WaitRes.St, 0);
  AskFPPrint(Env, 3, REQUEST);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"SendOnlBlock p;"}));

  Queue(4, "s;");
  AskFPPrint(Env, 3, REQUEST);
  EXPECT_TRUE(log.HasLine("AskFPPrint: Unknown COP: $04"));
  Queue(NO_COP, "");
  AskFPSell(Env, 3, REQUEST);
  EXPECT_TRUE(log.HasLine("AskFPSell: Unknown COP: $00"));
  AskRec(Env, 3, REQUEST);  // an empty queue is not logged by the receipt request
  Queue(0xAB, "");
  AskRec(Env, 3, REQUEST);
  EXPECT_TRUE(log.HasLine("AskRec: Unknown COP: $AB"));
  EXPECT_EQ(log.LineCount(), 4);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next", "Next", "Next", "Next"}));
  EXPECT_EQ(Data(3).Line, 8);  // only the served print moved it
}

}  // namespace
}  // namespace kassiro::testing
