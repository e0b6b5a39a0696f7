// The client intake and the shared operations of NewSrvProcs.
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "core/KassiroConstants.h"
#include "session/NewSrvProcs.h"

namespace kassiro::testing {
namespace {

using Intake = SessionTest;

struct HeadCase {
  const char* name;
  std::string request;  // wire bytes, length byte first
  std::string answer;
};

TEST_F(Intake, MalformedHeadsAreAnsweredToTheSenderAndChangeNothing) {
  const HeadCase cases[] = {
      {"unknown set", "05 10 01 02 05 00", "05 10 01 02 05 13"},
      {"operation 13", "05 01 0D 00 05 00", "05 01 0D 00 05 0E"},
      {"operation 0", "05 01 00 00 05 00", "05 01 00 00 05 0E"},
      {"ECR 0", "05 01 01 00 00 00", "05 01 01 00 00 14"},
      {"ECR 100", "05 01 01 00 64 00", "05 01 01 00 64 14"},
      {"first failing check wins", "05 00 00 00 00 00", "05 00 00 00 00 13"},
      {"set 2 empty entry", "05 02 06 00 05 00", "05 02 06 00 05 0E"},
      // Short messages: the missing head bytes count as 0.
      {"empty message", "00", "05 00 00 00 00 13"},
      {"set only", "01 01", "05 01 00 00 00 0E"},
      {"set and op", "02 01 01", "05 01 01 00 00 14"},
      {"no ECR byte", "03 01 01 07", "05 01 01 07 00 14"},
      {"no error byte", "04 01 01 07 05", "05 01 01 07 05 0E"},
  };
  S.IniStru.SetPW[1] = "";      // a set 1 request with an empty password would succeed
  Set(5, ST_ERSL).OwnerID = 9;  // a listener that only the set-1 empty entry reaches
  const std::string before = Dump(S);
  for (const HeadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Send(3, Wire(c.request));
    EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{3, Wire(c.answer)}}));
    EXPECT_EQ(Dump(S), before);
    EXPECT_TRUE(Poll.Take().empty());
  }
}

TEST_F(Intake, EmptyEntryOfAMainSetIsAlsoToldToTheListener) {
  Set(5, ST_ERSL).OwnerID = 9;
  Send(3, Wire("05 01 06 00 05 00"));
  const std::string answer = Wire("05 01 06 00 05 0E");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{3, answer}, {9, answer}}));
  Set(5, ST_ERSL).OwnerID = 0;
  Send(3, Wire("05 01 06 00 05 00"));
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{3, answer}}));
}

struct Call {
  std::uint16_t ID;
  std::uint8_t ST, COP, Ecr, ErrC;
  std::string RBuff;
  bool operator==(const Call&) const = default;
};
std::vector<Call> recorded;
void RecordingRoutine(const TSessionEnv&, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
                      std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff) {
  recorded.push_back({ID, ST, COP, Ecr, ErrC, RBuff.str()});
}

TEST_F(Intake, DispatchesWithErrorByteZeroAndTheTextAfterTheHead) {
  TAppCommTable table{};
  table[AppRoutineIndex(TAppRoutine::AC_Req)] = &RecordingRoutine;
  recorded.clear();
  HandleOnDataIn(Env, table, 4, ShortStr(Wire("07 01 01 07 05 09 31 3B")));
  EXPECT_EQ(recorded, (std::vector<Call>{{4, 1, 1, 5, 0, "1;"}}));
  EXPECT_TRUE(Clients.Take().empty());
}

TEST_F(Intake, RealTableTakesTheSetThroughAC_Req) {
  S.IniStru.SetPW[1] = "1";
  Send(4, Wire("07 01 01 07 05 09 31 3B"));
  EXPECT_EQ(Set(5, ST_ERS).OwnerID, 4);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{4, Msg(1, 1, 5, 0)}}));
}

TEST_F(Intake, ConnectionZeroIsNobody) {
  Send(0, Msg(ST_ERS, COP_REQ, 5, 0));
  HandleOnDisconnect(Env, 0);
  EXPECT_EQ(Set(5, ST_ERS).OwnerID, 0);
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_TRUE(Poll.Take().empty());
}

TEST_F(Intake, SendDriverResultGoesToTheHolderAndTheListenerOnce) {
  Set(5, ST_PCS).OwnerID = 7;
  Set(5, ST_PCSL).OwnerID = 9;
  Set(5, ST_PCS).Cop = 4;
  Set(5, ST_PCS).Phase = NOT_COMPLETED;
  WaitDriverResult(S, ST_PCS, 4, 5, "12;");
  SendDriverResult(S, Clients, ERR_NO_ERROR, 0);
  const std::string bytes = Wire("08 03 04 00 05 00 31 32 3B");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{7, bytes}, {9, bytes}}));
  EXPECT_EQ(Set(5, ST_PCS).Cop, 0);
  EXPECT_EQ(Set(5, ST_PCS).Phase, 0);
  EXPECT_EQ(S.WaitRes.St, 0);
  SendDriverResult(S, Clients, ERR_NO_ERROR, 0);
  EXPECT_TRUE(Clients.Take().empty());
}

TEST_F(Intake, ReceiptSetResultCarriesSetThreeWhileSetThreeIsHeld) {
  Set(5, ST_PCS).OwnerID = 7;
  Set(5, ST_REC).OwnerID = 8;
  Set(5, ST_RECL).OwnerID = 9;
  WaitDriverResult(S, ST_REC, 4, 5, "x;");
  SendDriverResult(S, Clients, ERR_NO_ERROR, 0);
  const std::string bytes = Msg(ST_PCS, 4, 5, 0, "x;");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{8, bytes}, {9, bytes}}));
  Set(5, ST_PCS).OwnerID = 0;
  WaitDriverResult(S, ST_REC, 4, 5, "x;");
  SendDriverResult(S, Clients, ERR_NO_ERROR, 0);
  EXPECT_EQ(FirstSent().second, Msg(ST_REC, 4, 5, 0, "x;"));
}

TEST_F(Intake, DisconnectFreesEverythingAndStopsPollingWithTheLastMainSet) {
  Take(4, 2, ST_ERS);
  Take(4, 4, ST_ERS);
  Take(4, 2, ST_ERSL);
  Take(6, 3, ST_ECP);
  Set(2, ST_ERS).Cop = 4;
  Set(2, ST_ERS).FmAppBuff = "abc;";
  Set(2, ST_ERS).WaitBlk2 = true;  // a parked result is no longer its client's
  Set(2, ST_ERS).WaitBlkFor = 4;
  HandleOnDisconnect(Env, 4);
  for (std::uint8_t st : {ST_ERS, ST_ERSL}) {
    EXPECT_EQ(Set(2, st).OwnerID, 0);
    EXPECT_EQ(Set(2, st).Cop, 0);
    EXPECT_TRUE(Set(2, st).FmAppBuff.empty());
  }
  EXPECT_EQ(Set(2, ST_ERS).WaitBlkFor, 0);
  EXPECT_EQ(Set(4, ST_ERS).OwnerID, 0);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"RemoveEcr 2", "RemoveEcr 4"}));
  EXPECT_EQ(S.ServerStatus, 1);  // client 6 still holds set 9 on ECR 3
  HandleOnDisconnect(Env, 6);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"RemoveEcr 3", "NoiseOff"}));
  EXPECT_EQ(S.ServerStatus, 0);
  EXPECT_TRUE(Clients.Take().empty());
}

// Set 13 comes with set 3 and shares its one user of the ECR: releasing the pair must
// not take the ECR from another client that still needs it polled.
TEST_F(Intake, DisconnectOfTheReceiptPairGivesBackOneUser) {
  Take(4, 5, ST_PCS);
  Take(6, 5, ST_RPR);
  EXPECT_EQ(Ecr(5).UserCount, 2);
  HandleOnDisconnect(Env, 4);
  EXPECT_EQ(Ecr(5).UserCount, 1);
  EXPECT_TRUE(Poll.Take().empty());
  EXPECT_EQ(Set(5, ST_REC).OwnerID, 0);
  HandleOnDisconnect(Env, 6);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"RemoveEcr 5", "NoiseOff"}));
}

TEST_F(Intake, AddEcrAndRemoveEcrCountUsers) {
  AddEcr(S, Poll, 3);
  AddEcr(S, Poll, 3);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"AddEcr 3", "NoiseOn"}));
  AddEcr(S, Poll, 4);  // polling runs already: no second NoiseOn
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"AddEcr 4"}));
  RemoveEcr(S, Poll, 3);
  EXPECT_TRUE(Poll.Take().empty());
  RemoveEcr(S, Poll, 3);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"RemoveEcr 3"}));
  RemoveEcr(S, Poll, 3);
  EXPECT_TRUE(Poll.Take().empty());
  EXPECT_EQ(S.ServerStatus, 1);
  RemoveEcr(S, Poll, 4);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"RemoveEcr 4", "NoiseOff"}));
  EXPECT_EQ(S.ServerStatus, 0);
}

TEST_F(Intake, RepeatedReportIsPerEcrAndLogged) {
  LogCapture log;
  EXPECT_FALSE(RepeatedReport(S, 3, "X;"));
  EXPECT_TRUE(RepeatedReport(S, 3, "X;"));
  EXPECT_TRUE(log.HasLine("Repeated block: X;"));
  EXPECT_FALSE(RepeatedReport(S, 4, "X;"));
  EXPECT_FALSE(RepeatedReport(S, 3, "Y;"));
  EXPECT_EQ(log.LineCount(), 1);
}

TEST_F(Intake, AnswerWindowAndValidSend) {
  AllowAnswer(S, 3, ST_ECP);
  EXPECT_EQ(S.InSeans.Ecr, 3);
  EXPECT_EQ(S.InSeans.St, ST_ECP);
  ForbidAnswer(S);
  EXPECT_EQ(S.InSeans.Ecr, 0);
  EXPECT_EQ(S.InSeans.St, 0);
  ValidSend(Clients, 0, "x");
  ValidSend(Clients, 2, "y");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{2, "y"}}));
}

}  // namespace
}  // namespace kassiro::testing
