// Answers to on-line requests and results parked until the ECR confirms them.
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "session/OnlineAnswers.h"
#include "session/OnlineHandling.h"

namespace kassiro::testing {
namespace {

constexpr std::uint16_t HOLDER = 31;
constexpr std::uint16_t LISTENER = 32;

class OnlineAnswers : public SessionTest {
 protected:
  // A receipt request of ECR 4 served from operation 4 queued on set `via`
  // (3 or 13), with the ECR's last block number `lastBlock`.
  void ParkReceiptStep(std::uint8_t via, int lastBlock) {
    Take(HOLDER, 4, via);
    Request(HOLDER, via, 4, 4, "X;");
    Ecr(4).BlockNo = static_cast<std::uint8_t>(lastBlock);
    HandleOnlReceived(Env, 4, 0, ShortStr("1;" + std::to_string(lastBlock) + ";A;"));
    ASSERT_EQ(Poll.Take(), (std::vector<std::string>{"SendOnlBlock L;X;"}));
  }
  void NextBlock(int blockNo) {
    HandleOnlReceived(Env, 4, 0, ShortStr("1;" + std::to_string(blockNo) + ";A;"));
  }
};

TEST_F(OnlineAnswers, WorkedExampleConfirmed) {
  ParkReceiptStep(ST_REC, 6);
  HandleOnlSended(Env, 4, RES_OK);
  const std::string x = "X;1;6;1;1;";  // the queued text, serial, block, line, receipt
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{HOLDER, Wire("05 0D A0 00 04 00") + x}}));
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  EXPECT_TRUE(Set(4, ST_REC).WaitBlk2);
  EXPECT_EQ(Set(4, ST_REC).Cop, 0);
  NextBlock(7);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{HOLDER, Wire("05 0D 04 00 04 00") + x}}));
  EXPECT_FALSE(Set(4, ST_REC).WaitBlk2);
  EXPECT_EQ(Set(4, ST_REC).WaitCOP, 0);
  EXPECT_TRUE(Set(4, ST_REC).WaitBlkBuff.empty());
}

TEST_F(OnlineAnswers, WorkedExampleDenied) {
  ParkReceiptStep(ST_REC, 6);
  HandleOnlSended(Env, 4, RES_OK);
  Clients.Take();
  NextBlock(6);
  EXPECT_EQ(Clients.Take(),
            (std::vector<Sent>{{HOLDER, Wire("05 0D 04 00 04 16") + "X;1;6;1;1;"}}));
}

TEST_F(OnlineAnswers, ConfirmationRule) {
  struct Row {
    int before;
    std::string after;
    std::uint8_t err;
  };
  const Row rows[] = {
      {9, "0", ERR_NO_ERROR},       {9, "9", ERR_NOT_EXECUTED},    {9, "1", ERR_NOT_EXECUTED},
      {3, "4", ERR_NO_ERROR},       {9, "", ERR_NO_ERROR},         {9, "x", ERR_NO_ERROR},
      {9, "256", ERR_NOT_EXECUTED}, {3, "1004", ERR_NOT_EXECUTED}, {9, "-10", ERR_NOT_EXECUTED},
  };
  LogCapture log;  // command Z is logged as unknown
  Take(HOLDER, 4, ST_ERS);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.after);
    Ecr(4).BlockNo = static_cast<std::uint8_t>(r.before);
    Set(4, ST_ERS).WaitBlk2 = true;
    Set(4, ST_ERS).WaitCOP = 7;
    Set(4, ST_ERS).WaitBlkBuff = "r;";
    Set(4, ST_ERS).WaitBlkFor = HOLDER;
    HandleOnlReceived(Env, 4, 0, ShortStr("1;" + r.after + ";Z;"));
    EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{HOLDER, Msg(ST_ERS, 7, 4, r.err, "r;")}}));
  }
}

// A client that lets go of its sets leaves its parked result to the holder of the
// listening set alone: the next holder of set 3 (and so of set 13), even under the same
// identifier, and whether it takes the set before the ECR's next block or not, is not
// sent it.
TEST_F(OnlineAnswers, ParkedResultOfAClientThatLeftReachesTheListenerAlone) {
  int line = 0;  // each receipt step draws the next line number
  for (const bool disconnect : {true, false}) {
    for (const bool retake : {true, false}) {
      SCOPED_TRACE(std::string(disconnect ? "disconnect" : "release") +
                   (retake ? ", set taken again" : ", set left free"));
      Take(LISTENER, 4, ST_RECL);
      ParkReceiptStep(ST_PCS, 6);
      HandleOnlSended(Env, 4, RES_OK);
      Clients.Take();
      if (disconnect) {
        HandleOnDisconnect(Env, HOLDER);
      } else {
        Request(HOLDER, ST_PCS, COP_DISC, 4);
      }
      if (retake) Take(HOLDER, 4, ST_PCS);
      Clients.Take();
      NextBlock(7);
      const std::uint8_t head = retake ? ST_PCS : ST_REC;
      const std::string text = "X;1;6;" + std::to_string(++line) + ";1;";
      EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{LISTENER, Msg(head, 4, 4, 0, text)}}));
      EXPECT_FALSE(Set(4, ST_REC).WaitBlk2);
      // Delivered once: the block after it brings nothing.
      NextBlock(8);
      EXPECT_TRUE(Clients.Take().empty());
      HandleOnDisconnect(Env, HOLDER);
      HandleOnDisconnect(Env, LISTENER);
      Poll.Take();
    }
  }
}

TEST_F(OnlineAnswers, ParkedReceiptResultUnderSetThreeGoesToTheReceiptHolders) {
  Take(LISTENER, 4, ST_RECL);
  Take(33, 4, ST_PCSL);  // the listener of set 3 is not a receipt holder
  ParkReceiptStep(ST_PCS, 2);
  HandleOnlSended(Env, 4, RES_OK);
  const std::string interim = Msg(ST_PCS, SND_R, 4, 0, "X;1;2;1;1;");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{HOLDER, interim}, {LISTENER, interim}}));
  NextBlock(3);
  const std::string final = Msg(ST_PCS, 4, 4, 0, "X;1;2;1;1;");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{HOLDER, final}, {LISTENER, final}}));
}

TEST_F(OnlineAnswers, ParkedResultsOfTwoSetsLowerSetFirst) {
  Take(HOLDER, 4, ST_REC);
  Take(LISTENER, 4, ST_ERS);
  for (std::uint8_t st : {ST_REC, ST_ERS}) {
    Set(4, st).WaitBlk2 = true;
    Set(4, st).WaitCOP = 4;
    Set(4, st).WaitBlkBuff = "p;";
    Set(4, st).WaitBlkFor = Set(4, st).OwnerID;
  }
  Ecr(4).BlockNo = 1;
  NextBlock(2);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{LISTENER, Msg(ST_ERS, 4, 4, 0, "p;")},
                                               {HOLDER, Msg(ST_REC, 4, 4, 0, "p;")}}));
}

TEST_F(OnlineAnswers, OrdinaryAnswerGivesOneResult) {
  Take(HOLDER, 4, ST_ECP);
  AllowAnswer(S, 4, ST_ECP);
  Request(HOLDER, ST_ECP, COP_ANSWER, 4, "a;");
  Poll.Take();
  HandleOnlSended(Env, 4, RES_OK);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{HOLDER, Msg(ST_ECP, COP_ANSWER, 4, 0, "a;")}}));
  EXPECT_FALSE(Set(4, ST_ECP).WaitBlk2);
  NextBlock(1);
  EXPECT_TRUE(Clients.Take().empty());
}

TEST_F(OnlineAnswers, FailedSendOfAParkedStepLeavesItParked) {
  ParkReceiptStep(ST_REC, 6);
  HandleOnlSended(Env, 4, RES_NAK);
  EXPECT_EQ(Clients.Take(),
            (std::vector<Sent>{{HOLDER, Msg(ST_REC, 0, 4, ERR_NAK, "X;1;6;1;1;")}}));
  EXPECT_TRUE(Set(4, ST_REC).WaitBlk2);
  NextBlock(6);  // the ECR sends its request again
  EXPECT_EQ(FirstSent().second, Msg(ST_REC, 4, 4, ERR_NOT_EXECUTED, "X;1;6;1;1;"));
}

TEST_F(OnlineAnswers, ParkedResultOfAFreedSetIsDroppedAndCleared) {
  ParkReceiptStep(ST_REC, 6);
  HandleOnlSended(Env, 4, RES_OK);
  Request(HOLDER, ST_REC, COP_DISC, 4);
  Clients.Take();
  NextBlock(7);
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_FALSE(Set(4, ST_REC).WaitBlk2);
}

TEST_F(OnlineAnswers, TimeOutClosesTheWindow) {
  Take(HOLDER, 4, ST_ECP);
  AllowAnswer(S, 4, ST_ECP);
  HandleSendReqTimeOut(Env, 4, 0);
  EXPECT_EQ(S.InSeans.St, 0);
  EXPECT_TRUE(Clients.Take().empty());
  Request(HOLDER, ST_ECP, COP_ANSWER, 4, "a;");
  EXPECT_EQ(Clients.Take(),
            (std::vector<Sent>{{HOLDER, Msg(ST_ECP, COP_ANSWER, 4, ERR_TOO_LATE)}}));
}

// The answer arrived while the window was still open, but the thread had already
// stopped waiting: it is never sent, and the client is told so instead of waiting
// for a result that never comes.
TEST_F(OnlineAnswers, AnswerThatMissedTheThreadIsTooLate) {
  Take(HOLDER, 4, ST_ECP);
  Take(LISTENER, 4, ST_ECPL);
  AllowAnswer(S, 4, ST_ECP);
  Request(HOLDER, ST_ECP, COP_ANSWER, 4, "a;");
  EXPECT_TRUE(Clients.Take().empty());
  HandleSendReqTimeOut(Env, 4, 0);
  const std::string late = Msg(ST_ECP, COP_ANSWER, 4, ERR_TOO_LATE, "a;");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{HOLDER, late}, {LISTENER, late}}));
  EXPECT_EQ(S.WaitRes.St, 0);
  HandleSendReqTimeOut(Env, 5, 0);
  EXPECT_TRUE(Clients.Take().empty());
}

}  // namespace
}  // namespace kassiro::testing
