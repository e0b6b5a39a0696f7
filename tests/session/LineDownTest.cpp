// The serial line lost: what waits for it goes back to its clients.
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "session/InlineExchange.h"
#include "session/LineDown.h"

namespace kassiro::testing {
namespace {

constexpr std::uint16_t A = 41;
constexpr std::uint16_t B = 42;
constexpr std::uint16_t LISTENER = 43;

class LineDown : public SessionTest {};

// A command queued on ECR 2, a receipt step queued through set 3 on ECR 7 and a
// command the ECR has on ECR 9: each client gets the time-out error with its own text
// (the receipt step under set 3) and every set takes new work again.
TEST_F(LineDown, EveryPendingOperationGoesBackWithTheTimeOutError) {
  Take(A, 2, ST_RPR);
  Take(LISTENER, 2, ST_RPRL);
  Take(B, 7, ST_PCS);
  Take(A, 9, ST_RPR);
  Request(A, ST_RPR, 4, 2, "12;");
  Request(B, ST_PCS, 5, 7, "x;");
  Request(A, ST_RPR, 6, 9, "w;");
  HandleEcrInline(Env, 9, 0, "1;");  // ECR 9 has its command now
  Poll.Take();
  ASSERT_TRUE(Clients.Take().empty());

  HandleLineDown(Env);
  const std::string onTwo = Msg(ST_RPR, 4, 2, ERR_TIMEOUT, "12;");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{A, Msg(ST_RPR, 6, 9, ERR_TIMEOUT, "w;")},
                                               {A, onTwo},
                                               {LISTENER, onTwo},
                                               {B, Msg(ST_PCS, 5, 7, ERR_TIMEOUT, "x;")}}));
  using EcrSet = std::pair<std::uint8_t, std::uint8_t>;
  for (const auto& [ecr, st] : {EcrSet{2, ST_RPR}, EcrSet{7, ST_REC}, EcrSet{9, ST_RPR}}) {
    EXPECT_EQ(Set(ecr, st).Cop, 0);
    EXPECT_EQ(Set(ecr, st).Phase, 0);
  }
  EXPECT_EQ(S.WaitRes.St, 0);
  HandleLineDown(Env);  // again while the line stays away: nothing is left
  EXPECT_TRUE(Clients.Take().empty());
  Request(A, ST_RPR, 4, 2, "13;");
  EXPECT_EQ(Set(2, ST_RPR).Phase, NOT_SENDED);
}

}  // namespace
}  // namespace kassiro::testing
