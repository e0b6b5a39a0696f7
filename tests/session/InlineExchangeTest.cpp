// The in-line exchange: a queued command to the ECR and its reply back to the client.
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "session/InlineExchange.h"

namespace kassiro::testing {
namespace {

constexpr std::uint16_t OWNER = 11;
constexpr std::uint16_t LISTENER = 12;

class InlineExchange : public SessionTest {
 protected:
  void SetUp() override {
    Take(OWNER, 2, ST_RPR);
    Take(LISTENER, 2, ST_RPRL);
  }
  void Queue(std::uint8_t cop, std::string_view text) {
    Request(OWNER, ST_RPR, cop, 2, text);
    ASSERT_TRUE(Clients.Take().empty());
  }
};

TEST_F(InlineExchange, WorkedExample) {
  S.InSeans = {2, ST_ECP};  // every handler closes the answer window first
  Queue(4, "12;");
  HandleEcrInline(Env, 2, 0, "004711;");
  EXPECT_EQ(Data(2).SerNum, 4711);
  EXPECT_EQ(Data(2).CurrMode, MD_INLINE);
  EXPECT_EQ(Data(2).CurrTO, DISP_TO);
  EXPECT_EQ(S.InSeans.Ecr, 0);
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"SendInlBlock R12;"}));
  EXPECT_EQ(S.WaitRes.St, ST_RPR);
  EXPECT_EQ(S.WaitRes.Cop, 4);
  EXPECT_EQ(S.WaitRes.Ecr, 2);
  EXPECT_EQ(S.WaitRes.Buff, "12;");

  HandleInlSended(Env, 2, RES_OK);
  EXPECT_EQ(Set(2, ST_RPR).Phase, NOT_COMPLETED);
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_TRUE(Poll.Take().empty());

  HandleInlReceived(Env, 2, RES_OK, "0;");
  const std::string result = Wire("07 05 04 00 02 00 30 3B");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{OWNER, result}, {LISTENER, result}}));
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  EXPECT_EQ(Set(2, ST_RPR).Cop, 0);
  EXPECT_EQ(Set(2, ST_RPR).Phase, 0);
  EXPECT_EQ(S.WaitRes.St, 0);
}

TEST_F(InlineExchange, EcrErrorReplyOnlyForUpperCaseE) {
  Queue(4, "12;");
  HandleEcrInline(Env, 2, 0, "004711;");
  HandleInlSended(Env, 2, RES_OK);
  HandleInlReceived(Env, 2, RES_OK, "E5;");
  EXPECT_EQ(FirstSent().second, Msg(ST_RPR, 4, 2, ERR_ECR_ERROR, "E5;"));

  Queue(4, "12;");
  HandleEcrInline(Env, 2, 0, "004711;");
  HandleInlSended(Env, 2, RES_OK);
  HandleInlReceived(Env, 2, RES_OK, "e5;");
  EXPECT_EQ(FirstSent().second, Msg(ST_RPR, 4, 2, ERR_NO_ERROR, "e5;"));
}

TEST_F(InlineExchange, FailedSendReturnsTheClientsOwnTextAndReadsNoReply) {
  Queue(4, "12;");
  HandleEcrInline(Env, 2, 0, "004711;");
  Poll.Take();
  HandleInlSended(Env, 2, RES_TIMEOUT);
  const std::string result = Wire("08 05 04 00 02 0A 31 32 3B");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{OWNER, result}, {LISTENER, result}}));
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
  EXPECT_EQ(Set(2, ST_RPR).Cop, 0);
  EXPECT_EQ(Set(2, ST_RPR).Phase, 0);
}

TEST_F(InlineExchange, SerialResultsMapToClientErrors) {
  const std::pair<std::uint8_t, std::uint8_t> cases[] = {
      {RES_NAK, ERR_NAK},
      {RES_DIFF, ERR_INVALID_BYTE},
      {RES_TIMEOUT, ERR_TIMEOUT},
      {4, ERR_UNKNOWN},
      {static_cast<std::uint8_t>(RES_NORESULT), ERR_UNKNOWN},
  };
  for (const auto& [res, err] : cases) {
    SCOPED_TRACE(+res);
    EXPECT_EQ(SerialResultError(res), err);
    Queue(9, "q;");
    HandleEcrInline(Env, 2, 0, "1;");
    HandleInlSended(Env, 2, RES_OK);
    HandleInlReceived(Env, 2, res, "");  // a failed read leaves an empty block
    EXPECT_EQ(FirstSent().second, Msg(ST_RPR, 9, 2, err));
  }
}

TEST_F(InlineExchange, NothingQueuedStillRecordsTheEcr) {
  const std::pair<const char*, std::int32_t> polls[] = {
      {"004711;", 4711}, {"7;", 7}, {"1234567", 0}, {"x;", 0}, {";", 0}};
  for (const auto& [poll, serNum] : polls) {
    SCOPED_TRACE(poll);
    Data(2).SerNum = -1;
    HandleEcrInline(Env, 2, 0, poll);
    EXPECT_EQ(Data(2).SerNum, serNum);
    EXPECT_EQ(Data(2).CurrMode, MD_INLINE);
    EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
    EXPECT_EQ(S.WaitRes.St, 0);
  }
}

TEST_F(InlineExchange, CommandLetters) {
  const std::pair<std::uint8_t, char> letters[] = {{4, 'R'}, {5, 'P'},  {6, 'W'}, {8, 'T'},
                                                   {9, 'I'}, {10, 'C'}, {11, 'Y'}};
  for (const auto& [cop, letter] : letters) {
    SCOPED_TRACE(+cop);
    Set(2, ST_RPR).Cop = 0;
    Queue(cop, "");  // an empty text gives the letter alone
    HandleEcrInline(Env, 2, 0, "1;");
    EXPECT_EQ(Poll.Take(), (std::vector<std::string>{std::string("SendInlBlock ") + letter}));
    S.WaitRes.St = 0;
  }
}

TEST_F(InlineExchange, LongestTextMakesA251ByteBlock) {
  const std::string text(250, 'x');
  Queue(6, text);
  HandleEcrInline(Env, 2, 0, "1;");
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"SendInlBlock W" + text}));
}

TEST_F(InlineExchange, CancelBeforeThePollIsNeverSent) {
  Queue(4, "12;");
  Request(OWNER, ST_RPR, COP_CANCEL, 2);
  Clients.Take();
  HandleEcrInline(Env, 2, 0, "1;");
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"Next"}));
}

TEST_F(InlineExchange, CancelAfterHandOverStillDeliversAndKeepsTheSetBusyUntilThen) {
  Queue(4, "12;");
  HandleEcrInline(Env, 2, 0, "1;");
  Request(OWNER, ST_RPR, COP_CANCEL, 2);
  EXPECT_EQ(FirstSent().second, Msg(ST_RPR, COP_CANCEL, 2, 0));
  // A new command now would be wiped by the reply of the one the ECR has.
  Request(OWNER, ST_RPR, 5, 2, "new;");
  EXPECT_EQ(FirstSent().second, Msg(ST_RPR, 5, 2, ERR_BUSY));
  HandleInlSended(Env, 2, RES_OK);
  HandleInlReceived(Env, 2, RES_OK, "0;");
  EXPECT_EQ(FirstSent(), (Sent{OWNER, Msg(ST_RPR, 4, 2, 0, "0;")}));
  Queue(5, "new;");
  EXPECT_EQ(Set(2, ST_RPR).Phase, NOT_SENDED);
}

// A result belongs to the client that asked for it, while it holds the set. One that
// left takes its result with it: neither the set's next holder, even under the freed
// identifier, nor the listener gets it; the set is busy only until the ECR is done.
TEST_F(InlineExchange, ResultOfAClientThatLeftGoesToNobody) {
  Queue(4, "12;");
  HandleEcrInline(Env, 2, 0, "1;");
  HandleOnDisconnect(Env, OWNER);
  Take(OWNER, 2, ST_RPR);  // a new client, given the identifier that was freed
  Request(OWNER, ST_RPR, 5, 2, "new;");
  const std::string busy = Msg(ST_RPR, 5, 2, ERR_BUSY);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{OWNER, busy}, {LISTENER, busy}}));
  HandleInlSended(Env, 2, RES_OK);
  HandleInlReceived(Env, 2, RES_OK, "0;");
  EXPECT_TRUE(Clients.Take().empty());
  EXPECT_EQ(Set(2, ST_RPR).Cop, 0);
  EXPECT_EQ(Set(2, ST_RPR).Phase, 0);
  EXPECT_EQ(S.WaitRes.St, 0);
  Queue(5, "new;");
  EXPECT_EQ(Set(2, ST_RPR).Phase, NOT_SENDED);
}

// A stop drops every client: what was awaited before it is gone, so the set is free
// for its next holder at once and a later time-out on the ECR has nothing to send.
TEST_F(InlineExchange, StopDiscardsTheAwaitedResult) {
  Queue(4, "12;");
  HandleEcrInline(Env, 2, 0, "1;");
  HandleInlSended(Env, 2, RES_OK);
  S.ClearStructures();
  Take(OWNER, 2, ST_RPR);
  Queue(5, "new;");
  EXPECT_EQ(Set(2, ST_RPR).Phase, NOT_SENDED);
  EXPECT_EQ(S.WaitRes.St, 0);
}

}  // namespace
}  // namespace kassiro::testing
