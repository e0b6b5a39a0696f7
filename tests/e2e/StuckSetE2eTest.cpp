// A command that is with an ECR when the world moves on: the server restarts, its
// client goes away, or the set changes hands while the ECR has not yet acknowledged it.
// Afterwards the set takes new commands, and no result reaches a client that did not
// ask for it.
#include "E2eFixture.h"
#include "Exchanges.h"

namespace kassiro::e2e {
namespace {

// ECR 2 replies to every command with the command's own text, so each client's result
// is its own.
constexpr const char* kEchoScript = "ecr 2 serial 004711\nreply * \"{text}\"\n";

std::string Command(std::string_view text) { return Msg(ST_RPR, 4, 2, 0, text); }
std::string Result(std::string_view text) { return Msg(ST_RPR, 4, 2, 0, text); }
const std::string kBusy = Msg(ST_RPR, 4, 2, ERR_BUSY);

bool CommandSent(Session& s) { return SetOf(s, 2, ST_RPR).Phase == NOT_COMPLETED; }
bool NothingAwaited(Session& s) { return s.WaitRes.St == 0; }

class StuckSet : public E2eTest {
 protected:
  // A client's command "12;" is acknowledged by ECR 2, whose reply is held back, when
  // the server is restarted; the client is dropped with it.
  void RestartWhileTheReplyIsAwaited() {
    Start(kEchoScript);
    TcpClient& before = Connect();
    Request(before, kTakeRprRequest, kTakeRprAnswer);
    HoldAfterNextFrame(1, 5s);  // the ACK goes out, the reply waits
    ASSERT_TRUE(before.Send(Command("12;")));
    ASSERT_TRUE(WaitForSession(CommandSent));
    RestartServer();
    ReleaseHold();
    EXPECT_EQ(Recv(before), "(no message)") << "the client before the restart stays connected";
  }
};

TEST_F(StuckSet, RestartWhileACommandAwaitsItsReplyLeavesTheSetFree) {
  RestartWhileTheReplyIsAwaited();
  TcpClient& after = Connect();
  Request(after, kTakeRprRequest, kTakeRprAnswer);
  ASSERT_TRUE(after.Send(Command("34;")));
  EXPECT_EQ(Recv(after), Show(Result("34;")));
}

// ECR 2 asks a question that nobody answers in time; the next holder of set 5 is not
// sent the text of the client from before the restart when the wait ends.
TEST_F(StuckSet, QueryTimeOutAfterARestartSendsNothingOfBefore) {
  RestartWhileTheReplyIsAwaited();
  TcpClient& after = Connect();
  Request(after, kTakeRprRequest, kTakeRprAnswer);
  Request(after, Msg(ST_ERS, COP_REQ, 2, 0, "pw;"), Msg(ST_ERS, COP_REQ, 2, 0));
  ASSERT_TRUE(FSim->WithEngine([](ecrsim::TSimEngine& e) {
    return e.AddOnline(2, {"{serial};{block};1;4711;", true, 1});
  }));
  const std::string query = Show(Msg(ST_ERS, PLU_Q, 2, 0));
  EXPECT_TRUE(Recv(after).starts_with(query));
  // Unanswered for WAIT_COMPUTER: the ECR asks again, and nothing comes in between.
  EXPECT_TRUE(Recv(after).starts_with(query));
  // Answered, the question is done and the ECR takes commands again.
  ASSERT_TRUE(after.Send(Msg(ST_ERS, COP_ANSWER, 2, 0, "4711;X;")));
  EXPECT_EQ(Recv(after), Show(Msg(ST_ERS, COP_ANSWER, 2, 0, "4711;X;")));
  ASSERT_TRUE(after.Send(Command("34;")));
  EXPECT_EQ(Recv(after), Show(Result("34;")));
}

// The client whose command the ECR has goes away; a new client takes the set under the
// freed identifier. It is told the set is busy while the ECR works on the old command,
// never sees that command's result, and has the set once the ECR is done.
TEST_F(StuckSet, ResultOfAClientThatLeftReachesNobody) {
  Start(kEchoScript);
  TcpClient& listener = Connect();
  TcpClient& first = Connect();
  Request(listener, kTakeRprlRequest, kTakeRprlAnswer);
  Request(first, kTakeRprRequest, kTakeRprAnswer);
  EXPECT_EQ(Recv(listener), Show(kTakeRprAnswer));
  HoldAfterNextFrame(1, 5s);
  ASSERT_TRUE(first.Send(Command("12;")));
  ASSERT_TRUE(WaitForSession(CommandSent));
  first.Close();
  ASSERT_TRUE(WaitForSession([](Session& s) { return SetOf(s, 2, ST_RPR).OwnerID == 0; }));

  TcpClient& second = Connect();
  Request(second, kTakeRprRequest, kTakeRprAnswer);
  EXPECT_EQ(Recv(listener), Show(kTakeRprAnswer));
  Request(second, Command("34;"), kBusy);
  EXPECT_EQ(Recv(listener), Show(kBusy));

  ReleaseHold();
  ASSERT_TRUE(WaitForSession(NothingAwaited));
  ASSERT_TRUE(second.Send(Command("34;")));
  EXPECT_EQ(Recv(second), Show(Result("34;")));
  EXPECT_EQ(Recv(listener), Show(Result("34;")));
}

// The only main set is released and taken anew while the ECR has not yet acknowledged
// the command: the server still reads the ECR's reply, so the set does not stay busy.
TEST_F(StuckSet, SetTakenAnewWhileTheAckIsAwaitedStaysUsable) {
  Start(kEchoScript);
  TcpClient& first = Connect();
  Request(first, kTakeRprRequest, kTakeRprAnswer);
  HoldAfterNextFrame(0, 150ms);  // well inside the ACK window
  ASSERT_TRUE(first.Send(Command("12;")));
  ASSERT_TRUE(FSimHeard.WaitForCount("frame R12; crc ok", 1));
  Request(first, kReleaseRprRequest, kReleaseRprAnswer);
  TcpClient& second = Connect();
  Request(second, kTakeRprRequest, kTakeRprAnswer);
  ReleaseHold();

  ASSERT_TRUE(WaitForSession(NothingAwaited));
  ASSERT_TRUE(second.Send(Command("34;")));
  EXPECT_EQ(Recv(second), Show(Result("34;")));
  EXPECT_TRUE(first.NothingWaiting());
}

}  // namespace
}  // namespace kassiro::e2e
