// On-line blocks: reports, queries and requests of an ECR, by their command.
#include <gtest/gtest.h>

#include <functional>

#include "SessionFixture.h"
#include "core/KassiroConstants.h"
#include "session/OnlineHandling.h"

namespace kassiro::testing {
namespace {

constexpr std::uint16_t REPORTS = 21;   // holds set 1 on ECR 3
constexpr std::uint16_t LISTENER = 22;  // holds set 2 on ECR 3
constexpr std::uint16_t PRICES = 23;    // holds set 9 on ECR 3
constexpr std::uint16_t CASHIERS = 24;  // holds set 11 on ECR 3

class OnlineHandling : public SessionTest {
 protected:
  void SetUp() override {
    Take(REPORTS, 3, ST_ERS);
    Take(LISTENER, 3, ST_ERSL);
    Take(PRICES, 3, ST_ECP);
    Take(CASHIERS, 3, ST_ESR);
    Ecr(3).BlockNo = 3;
    Data(3).Line = 7;
    Data(3).Bon = 120;
  }
  void Block(std::string_view blk, std::uint8_t ecr = 3) {
    HandleOnlReceived(Env, ecr, 0, ShortStr(blk));
  }
  // What the holders of sets 1 and 2 get for a report.
  std::vector<Sent> ToReportHolders(std::uint8_t event, std::string_view text) {
    const std::string m = Msg(ST_ERS, event, 3, 0, text);
    return {{REPORTS, m}, {LISTENER, m}};
  }
};

TEST_F(OnlineHandling, WorkedExampleReportAndItsRepeat) {
  LogCapture log;
  Block("123456;4;0;A;B;");
  EXPECT_EQ(Data(3).SerNum, 123456);
  EXPECT_EQ(Ecr(3).BlockNo, 4);
  EXPECT_EQ(Data(3).CurrMode, MD_ONLINE);
  EXPECT_EQ(Data(3).CurrTO, DISP_TO);
  const std::string text = "123456;4;A;B;7;120;";
  const std::string report = Wire("05 01 80 00 03 00") + text;
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{REPORTS, report}, {LISTENER, report}}));
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  EXPECT_EQ(Ecr(3).LastBlockIn, "123456;4;A;B;");

  Block("123456;4;0;A;B;");
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  EXPECT_TRUE(log.HasLine("Repeated block: 123456;4;A;B;"));
  EXPECT_EQ(Data(3).Line, 8);
}

TEST_F(OnlineHandling, WorkedExampleQuery) {
  Ecr(3).BlockNo = 4;
  Block("123456;5;8;4711;;12.50;");
  EXPECT_EQ(S.InSeans.Ecr, 3);
  EXPECT_EQ(S.InSeans.St, ST_ECP);
  EXPECT_EQ(Clients.Take(),
            (std::vector<Sent>{{PRICES, Msg(ST_ECP, KPQ, 3, 0, "123456;5;4711;0;1250;7;120;")}}));
  EXPECT_TRUE(Poll.Take().empty());  // the thread waits for the answer
}

struct TextCase {
  const char* name;
  std::string block;
  std::uint8_t set;
  std::uint8_t event;
  std::string text;  // as the clients get it
};

TEST_F(OnlineHandling, CommandsPrepareTheirTexts) {
  const TextCase cases[] = {
      {"empty command is a PLU report", "1;4;;A;", ST_ERS, PLU_R, "1;4;A;7;120;"},
      {"missing command is a PLU report", "12345678", ST_ERS, PLU_R, "123456780;7;120;"},
      {"PLU query", "1;4;1;P;", ST_ERS, PLU_Q, "1;4;P;7;120;"},
      {"period report", "1;4;2;;x;1250;", ST_ERS, PER_R, "1;4;0;x;12.50;7;120;"},
      {"period report short amount", "1;4;2;5;x;y;1250;", ST_ERS, PER_R, "1;4;5;x;.y;1250;7;120;"},
      {"cashier query", "1;4;4;c;d;e;f;", ST_ESR, KSR_Q, "1;4;c;f;7;120;"},
      {"bar code query", "1;4;7;b;", ST_ERS, BAR_Q, "1;4;b;7;120;"},
      {"price query 9", "1;4;9;p;1;2.5;", ST_ECP, RPQ, "1;4;p;1;25;7;120;"},
      {"price query D", "1;4;D;p;;;", ST_ECP, KDQ, "1;4;p;0;;7;120;"},
      {"price query E", "1;4;E;p;2;3;", ST_ECP, RDQ, "1;4;p;2;3;7;120;"},
      {"PLU correction", "1;4;B;q;", ST_ERS, PLU_C, "1;4;q;7;120;"},
      {"bar code correction", "1;4;F;q;", ST_ERS, BAR_C, "1;4;q;7;120;"},
      {"percent -150", "1;4;C;;;-150;z;", ST_ERS, PERD_Q, "1;4;0;0;z;7;120;"},
      {"percent 150", "1;4;C;a;b;150;", ST_ERS, PERS_Q, "1;4;a;b;7;120;"},
      {"percent empty", "1;4;C;a;b;;", ST_ERS, PERS_Q, "1;4;a;b;7;120;"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    Ecr(3).LastBlockIn.clear();
    Data(3).Line = 7;
    Block(c.block);
    const std::string m = Msg(c.set, c.event, 3, 0, c.text);
    std::vector<Sent> expected{{c.set == ST_ERS   ? REPORTS
                                : c.set == ST_ECP ? PRICES
                                                  : CASHIERS,
                                m}};
    if (c.set == ST_ERS) expected.push_back({LISTENER, m});
    EXPECT_EQ(Clients.Take(), expected);
    Poll.Take();
  }
}

TEST_F(OnlineHandling, UnknownCommandIsLoggedAndDropped) {
  LogCapture log;
  S.InSeans = {3, ST_ECP};
  for (const char* blk : {"1;4;a;x;", "1;4;G;x;", "1;4;:;x;", "1;4;/;x;"}) {
    Block(blk);
    EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  }
  EXPECT_TRUE(log.HasLine("Unknown message from ECR 3  Block:1;4;x;"));
  EXPECT_EQ(log.LineCount(), 4);
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_EQ(S.InSeans.St, 0);
  EXPECT_EQ(Data(3).CurrMode, MD_OFF);
  EXPECT_EQ(Data(3).Line, 7);
}

TEST_F(OnlineHandling, RepeatCheckIsPerEcrAndForReportsOnly) {
  Take(REPORTS, 4, ST_ERS);
  Block("1;4;0;A;");
  Block("1;4;0;A;", 4);  // same text from another ECR
  EXPECT_EQ(Clients.Take().size(), 3u);
  Block("1;5;8;p;1;2;");
  Block("1;5;8;p;1;2;");
  EXPECT_EQ(Clients.Take().size(), 2u);  // a query sent twice goes out twice
  EXPECT_EQ(Ecr(3).LastBlockIn, "1;4;A;");
}

// Fields of a receipt report: 1 serial, 2 block, 3 sub-command, then data; field 10 of
// the relayed block is the amount owed and field 19 (after the appended line) the paid.
std::string Receipt(char sub, std::string_view f5, std::string_view f6, std::string_view owed,
                    std::string_view paid) {
  std::string b = "1;4;3;";
  b += sub;
  b += ";a;";
  b.append(f5).append(";").append(f6).append(";g;h;i;").append(owed).append(";");
  for (int f = 11; f <= 18; ++f) b += "k;";
  b.append(paid).append(";");
  return b;
}

TEST_F(OnlineHandling, ReceiptReportsBySubCommand) {
  S.IniStru.GlobalBon = 500;
  struct Row {
    const char* name;
    char sub;
    const char* f5;
    const char* f6;
    const char* owed;
    const char* paid;
    std::uint8_t event;
    bool closes;
    bool drops67;
  };
  const Row rows[] = {
      {"paid equals owed", '0', "e", "f", "10.00", "10.00", TSM_R, true, false},
      {"paid below owed", '0', "e", "f", "10.00", "4.00", PSM_R, false, false},
      {"paid empty", '1', "e", "f", "10.00", "", TSM_R, true, false},
      {"paid above owed", '2', "e", "f", "10.00", "12", TSM_R, true, false},
      {"closed no field 5", '3', "", "f", "10.00", "10.00", TBN_R, true, true},
      {"open no field 5", '3', "", "f", "10.00", "4.00", PBN_R, false, true},
      {"closed no field 6", '0', "e", "", "10.00", "0", TSO_R, true, true},
      {"open no field 6", '0', "e", "", "10.00", "4", PSO_R, false, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Ecr(3).LastBlockIn.clear();
    Data(3).Line = 7;
    Data(3).Bon = 120;
    Block(Receipt(r.sub, r.f5, r.f6, r.owed, r.paid));
    std::string text = std::string("1;4;") + r.sub + ";a;" + r.f5 + ";";
    if (!r.drops67) text += std::string(r.f6) + ";g;";
    text += std::string("h;i;") + r.owed + ";";
    for (int f = 11; f <= 18; ++f) text += "k;";
    text += std::string(r.paid) + ";7;120;";
    EXPECT_EQ(Clients.Take(), ToReportHolders(r.event, text));
    EXPECT_EQ(Data(3).Bon, r.closes ? 500 : 120);
    EXPECT_EQ(Data(3).Line, r.closes ? 1 : 8);
    if (r.closes) S.IniStru.GlobalBon = 500;
    EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  }
}

TEST_F(OnlineHandling, ReceiptClosingSubCommandsAndUnknownOnes) {
  S.IniStru.GlobalBon = 500;
  const std::pair<char, std::uint8_t> closing[] = {{'4', ORD_R}, {'5', ZTL_R}, {'6', RPO_R}};
  for (const auto& [sub, event] : closing) {
    SCOPED_TRACE(sub);
    Ecr(3).LastBlockIn.clear();
    Data(3).Bon = 120;
    Data(3).Line = 7;
    Block(std::string("1;4;3;") + sub + ";x;");
    EXPECT_EQ(Clients.Take(), ToReportHolders(event, "1;4;x;7;120;"));
    EXPECT_EQ(Data(3).Line, 1);
    Poll.Take();
  }
  // Sub-command 7 has no report: the line counter still advances.
  S.InSeans = {3, ST_ECP};
  Data(3).Line = 7;
  Block("1;4;3;7;x;");
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_EQ(Data(3).Line, 8);
  EXPECT_EQ(Ecr(3).LastBlockIn, "1;4;7;x;");
  EXPECT_EQ(S.InSeans.St, 0);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  // An empty sub-command is 0.
  Data(3).Bon = 120;
  Block("1;4;3;;a;e;f;");
  EXPECT_EQ(Clients.Take(), ToReportHolders(TSM_R, "1;4;0;a;e;f;8;120;"));
}

TEST_F(OnlineHandling, RequestsOpenTheWindowForTheReceiptSet) {
  LogCapture log;
  const std::pair<const char*, std::uint8_t> requests[] = {
      {"1;4;5;x;", MD_PRN}, {"1;4;6;x;", MD_PRN}, {"1;4;A;x;", MD_ONLINE}};
  for (const auto& [blk, mode] : requests) {
    SCOPED_TRACE(blk);
    Block(blk);
    EXPECT_EQ(S.InSeans.Ecr, 3);
    EXPECT_EQ(S.InSeans.St, ST_REC);
    EXPECT_EQ(Data(3).CurrMode, mode);
    EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));  // nothing queued on set 13
  }
}

TEST_F(OnlineHandling, QueryWithoutHolderEndsTheTurn) {
  Request(PRICES, ST_ECP, COP_DISC, 3);
  Clients.Take();
  Poll.Take();
  Block("1;4;8;p;1;2;");
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  EXPECT_EQ(S.InSeans.St, 0);
  EXPECT_EQ(Data(3).Line, 7);
}

TEST_F(OnlineHandling, BlockNumbers) {
  struct Row {
    const char* field;
    std::uint8_t stored;
    const char* relayed;
  };
  const Row rows[] = {
      {"7", 7, "1;7;A;"},       {"", 0, "1;0;A;"},        {"x", 0, "1;x;A;"},
      {"255", 255, "1;255;A;"}, {"1000", 0, "1;1000;A;"}, {"-1", 0, "1;-1;A;"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.field);
    Block(std::string("1;") + r.field + ";7;A;");
    EXPECT_EQ(Ecr(3).BlockNo, r.stored);
    const std::string line = std::to_string(Data(3).Line - 1);
    EXPECT_EQ(FirstSent().second, Msg(ST_ERS, BAR_Q, 3, 0, r.relayed + line + ";120;"));
  }
}


// Before a take reply is acknowledged: a report whose report-set holders have all left
// since the take began (or whose ECR lost its last main-set holder) stays with the ECR.
class ReplyAcknowledge : public SessionTest {
 protected:
  static constexpr const char* REPORT = "1;5;0;A;";
  bool Ack(std::string_view blk, std::uint8_t ecr = 4) {
    return MayAcknowledgeReply(Env, ecr, ShortStr(blk));
  }
};

TEST_F(ReplyAcknowledge, ReportLeftWithTheEcrWhenItsLastHolderLeaves) {
  struct Case {
    const char* name;
    std::function<void()> leave;
  };
  const Case cases[] = {
      {"release", [this] { Request(1, ST_ERS, COP_DISC, 4); }},
      {"disconnect", [this] { HandleOnDisconnect(Env, 1); }},
      {"listener released after the holder",
       [this] {
         Take(2, 4, ST_ERSL);
         Request(1, ST_ERS, COP_DISC, 4);
         Request(2, ST_ERSL, COP_DISC, 4);
       }},
  };
  LogCapture log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Take(1, 4, ST_ERS);
    Take(9, 4, ST_RPR);  // in-line work keeps the ECR polled
    c.leave();
    for (const char* report : {REPORT, "1;5;;A;B;", "1;5;3;0;", "1;5;B;x;", "1;5;F;x;", "1;5;2;1;2;3;"})
      EXPECT_FALSE(Ack(report)) << report;
    EXPECT_TRUE(Ack("12;", 4)) << "an in-line reply ends the take";
    EXPECT_TRUE(Ack(REPORT)) << "the next take's report is acknowledged as before";
    HandleOnDisconnect(Env, 9);
    HandleTakeError(Env, 4, 0);
  }
}

TEST_F(ReplyAcknowledge, WhatIsStillAcknowledged) {
  LogCapture log;
  // Polled for in-line work only, nobody ever holding a report set: handed to nobody.
  Take(9, 4, ST_RPR);
  EXPECT_TRUE(Ack(REPORT));
  // The listener still holds a report set.
  Take(1, 4, ST_ERS);
  Take(2, 4, ST_ERSL);
  Request(1, ST_ERS, COP_DISC, 4);
  EXPECT_TRUE(Ack(REPORT));
  // A holder is back before the reply comes.
  Request(2, ST_ERSL, COP_DISC, 4);
  Take(3, 4, ST_ERS);
  EXPECT_TRUE(Ack(REPORT));
  // Queries and requests are not reports; another ECR is not concerned.
  Request(3, ST_ERS, COP_DISC, 4);
  EXPECT_TRUE(Ack("1;5;8;4711;;1.00;"));
  Request(9, ST_RPR, COP_DISC, 4);  // the last main set: the take under way keeps reports
  EXPECT_TRUE(Ack("1;5;A;x;"));
  EXPECT_TRUE(Ack(REPORT, 5));
  // A failed take ends it too.
  Take(9, 4, ST_RPR);
  Request(9, ST_RPR, COP_DISC, 4);
  EXPECT_FALSE(Ack(REPORT));
  HandleTakeError(Env, 4, 2);  // only refused frames came
  EXPECT_TRUE(Ack(REPORT));
}

// A report acknowledged while a report set was held reaches a holder even when every
// holder leaves before the handler hands it on: the next client to take a report set of
// the ECR gets it right after the answer to its request, once.
TEST_F(ReplyAcknowledge, ReportAcknowledgedForAHolderThatLeftReachesTheNextHolder) {
  struct Case {
    const char* name;
    std::uint8_t heldSet;  // by client 1; client 9's in-line work keeps the ECR polled
    std::function<void()> leave;
    std::uint8_t nextSet;  // taken by client 2
  };
  const Case cases[] = {
      {"released, the set taken again", ST_ERS, [this] { Request(1, ST_ERS, COP_DISC, 4); }, ST_ERS},
      {"disconnected, the listening set taken", ST_ERS, [this] { HandleOnDisconnect(Env, 1); }, ST_ERSL},
      {"the only listener released", ST_ERSL, [this] { Request(1, ST_ERSL, COP_DISC, 4); }, ST_ERS},
  };
  LogCapture log;
  int blockNo = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Take(9, 4, ST_RPR);
    Take(1, 4, c.heldSet);
    Data(4).Line = 7;
    Data(4).Bon = 120;
    const std::string n = std::to_string(++blockNo);
    const std::string report = "1;" + n + ";0;A;";
    ASSERT_TRUE(Ack(report));
    c.leave();
    Clients.Take();
    HandleOnlReceived(Env, 4, 0, ShortStr(report));
    EXPECT_TRUE(Clients.Take().empty()) << "handed to nobody, or to the one that left";
    EXPECT_TRUE(log.HasLine("ECR 4: a report acknowledged while its holder was there is kept for the "
                            "next holder of the report set: its holder left before it was handed on"));
    Request(2, c.nextSet, COP_REQ, 4);
    EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{2, Msg(c.nextSet, COP_REQ, 4, 0)},
                                                  {2, Msg(ST_ERS, PLU_R, 4, 0, "1;" + n + ";A;7;120;")}}));
    Request(2, c.nextSet, COP_DISC, 4);
    Clients.Take();
    Request(3, ST_ERS, COP_REQ, 4);
    EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{3, Msg(ST_ERS, COP_REQ, 4, 0)}}))
        << "kept once, handed on once";
    for (const std::uint16_t id : {1, 2, 3, 9}) HandleOnDisconnect(Env, id);
    HandleTakeError(Env, 4, 0);
    Clients.Take();
    Poll.Take();
  }

  // Nobody held a report set when the ECR was told: handed to nobody, nothing kept.
  Take(9, 4, ST_RPR);
  ASSERT_TRUE(Ack("1;8;0;C;"));
  HandleOnlReceived(Env, 4, 0, ShortStr("1;8;0;C;"));
  Request(2, ST_ERS, COP_REQ, 4);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{2, Msg(ST_ERS, COP_REQ, 4, 0)}}));
  // The holder there at the ACK still there when it is handed on: it gets it, once.
  ASSERT_TRUE(Ack("1;9;0;D;"));
  HandleOnlReceived(Env, 4, 0, ShortStr("1;9;0;D;"));
  EXPECT_EQ(Clients.Take().size(), 1u);
  EXPECT_TRUE(Ecr(4).KeptReport.empty());
  // Still kept when the server stops: the log says it went nowhere.
  ASSERT_TRUE(Ack("1;0;0;E;"));
  HandleOnDisconnect(Env, 2);
  HandleOnlReceived(Env, 4, 0, ShortStr("1;0;0;E;"));
  S.ClearStructures();
  EXPECT_TRUE(log.HasLine("ECR 4: the report kept for the next holder of the report set is dropped: the server stops"));
}

// The last main set released: an on-line request of that ECR that waits for a client's
// answer is ended at once; one of another ECR waits on.
TEST_F(ReplyAcknowledge, LastMainSetEndsTheEcrsOpenRequest) {
  Take(1, 4, ST_ECP);
  Take(2, 5, ST_ECP);
  AllowAnswer(S, 5, ST_ECP);
  Request(1, ST_ECP, COP_DISC, 4);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"RemoveEcr 4"}));
  EXPECT_EQ(S.InSeans.Ecr, 5);
  Take(1, 4, ST_ECP);
  AllowAnswer(S, 4, ST_ECP);
  HandleOnDisconnect(Env, 1);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"RemoveEcr 4", "Next"}));
  EXPECT_EQ(S.InSeans.Ecr, 0);
}

}  // namespace
}  // namespace kassiro::testing
