// The clients' side over real TCP: framing, the intake's own answers, taking and
// releasing sets, and what a client's disconnect gives back.
#include "E2eFixture.h"
#include "Exchanges.h"

namespace kassiro::e2e {
namespace {

constexpr const char* kEcr2Script = "ecr 2 serial 004711\n";

TEST_F(E2eTest, UnknownSetIsAnsweredOnTheWire) {
  Start(kEcr2Script);
  TcpClient& c = Connect();
  ASSERT_TRUE(c.SendRaw(kUnknownSetWire));
  const auto answer = c.Next(Deadline);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(Show(Wire(*answer)), Show(kUnknownSetAnswerWire));
}

TEST_F(E2eTest, MessageSplitAcrossTwoWritesIsHandledOnce) {
  Start(kEcr2Script);
  TcpClient& c = Connect();
  const std::string framed = Wire(kTakeRprRequest);
  ASSERT_TRUE(c.SendRaw(std::string_view(framed).substr(0, 3)));
  ASSERT_TRUE(c.WaitSent());  // the first part is with the server before the rest goes
  ASSERT_TRUE(c.SendRaw(std::string_view(framed).substr(3)));
  EXPECT_EQ(Recv(c), Show(kTakeRprAnswer));
  // Handled twice, the take would have been refused before this answer came.
  Request(c, kPhaseRprRequest, kPhaseRprIdleAnswer);
}

TEST_F(E2eTest, TakeAndReleaseReachTheListener) {
  Start(kEcr2Script);
  TcpClient& listener = Connect();
  TcpClient& first = Connect();
  TcpClient& second = Connect();
  Request(listener, kTakeRprlRequest, kTakeRprlAnswer);
  Request(first, kTakeRprBadPasswordRequest, kTakeRprBadPasswordAnswer);
  EXPECT_EQ(Recv(listener), Show(kTakeRprBadPasswordAnswer));
  Request(first, kTakeRprRequest, kTakeRprAnswer);
  EXPECT_EQ(Recv(listener), Show(kTakeRprAnswer));
  Request(second, kTakeRprRequest, kTakeRprTakenAnswer);
  EXPECT_EQ(Recv(listener), Show(kTakeRprTakenAnswer));
  Request(first, kReleaseRprRequest, kReleaseRprAnswer);
  EXPECT_EQ(Recv(listener), Show(kReleaseRprAnswer));
  Request(second, kTakeRprRequest, kTakeRprAnswer);
  EXPECT_EQ(Recv(listener), Show(kTakeRprAnswer));
  Request(listener, kReleaseRprlRequest, kReleaseRprlAnswer);
  EXPECT_TRUE(first.NothingWaiting());
}

TEST_F(E2eTest, DisconnectReleasesSetsAndStopsPolling) {
  Start(kEcr2Script);
  TcpClient& leaving = Connect();
  TcpClient& other = Connect();
  Request(leaving, kTakeRprlRequest, kTakeRprlAnswer);
  Request(leaving, kTakeRprRequest, kTakeRprAnswer);
  EXPECT_EQ(Recv(leaving), Show(kTakeRprAnswer));  // its copy as the listener
  ASSERT_TRUE(FSimHeard.WaitForCount("take 02", 1));
  Request(other, kTakeRprRequest, kTakeRprTakenAnswer);
  EXPECT_EQ(Recv(leaving), Show(kTakeRprTakenAnswer));

  leaving.Close();
  EXPECT_TRUE(WaitForSession([](Session& s) {
    const TEcr& ecr = (*s.Ecrs)[2];
    return ecr.Sets[ST_RPR].OwnerID == 0 && ecr.Sets[ST_RPRL].OwnerID == 0 &&
           ecr.UserCount == 0 && s.ServerStatus == 0;
  }));
  Request(other, kTakeRprRequest, kTakeRprAnswer);
  Request(other, kTakeRprlRequest, kTakeRprlAnswer);
  // Polled again for the new holder.
  const std::size_t takes = FSimHeard.Count("take 02");
  EXPECT_TRUE(FSimHeard.WaitForCount("take 02", takes + 1));
}

}  // namespace
}  // namespace kassiro::e2e
