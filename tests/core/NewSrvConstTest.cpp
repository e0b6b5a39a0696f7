#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "core/NewSrvConst.h"

namespace kassiro {
namespace {

using R = TAppRoutine;

TEST(SetsIncompatible, IsSymmetricAndEverySetConflictsWithItself) {
  for (int a = 1; a <= SET_COUNT; ++a) {
    EXPECT_TRUE(SetsIncompatible(a, a)) << a;
    for (int b = 1; b <= SET_COUNT; ++b) {
      EXPECT_EQ(SetsIncompatible(a, b), SetsIncompatible(b, a)) << a << "," << b;
      if (a % 2 == 0 && b != a) {
        EXPECT_FALSE(SetsIncompatible(a, b)) << a << "," << b;
      }
    }
  }
}

TEST(SetsIncompatible, RowsOfTheMainSets) {
  // Row by row, the sets each main set conflicts with.
  const struct {
    int st;
    std::array<int, 6> with;  // 0 = unused
  } rows[] = {
      {ST_ERS, {1, 3, 7}}, {ST_PCS, {1, 3, 7, 9, 11, 13}},
      {ST_RPR, {5, 7}},    {ST_TPR, {1, 3, 5, 7, 9, 11}},
      {ST_ECP, {3, 7, 9}}, {ST_ESR, {3, 7, 11}},
      {ST_REC, {3, 13}},
  };
  for (const auto& r : rows) {
    for (int held = 1; held <= SET_COUNT; ++held) {
      const bool want = std::find(r.with.begin(), r.with.end(), held) != r.with.end();
      EXPECT_EQ(SetsIncompatible(r.st, held), want) << r.st << " with " << held;
    }
  }
}

TEST(SetsIncompatible, ProductSetHeldOnAnEcr) {
  // Set 3 held on ECR 3: set 1 is refused there, set 2 is not; other ECRs are not
  // concerned by the table at all.
  EXPECT_TRUE(SetsIncompatible(ST_ERS, ST_PCS));
  EXPECT_FALSE(SetsIncompatible(ST_ERSL, ST_PCS));
}

TEST(AppComm, ListeningSetsOnlyTakeAndRelease) {
  for (int st = 2; st <= SET_COUNT; st += 2) {
    EXPECT_EQ(AppCommFor(st, COP_REQ), R::LS_Req) << st;
    EXPECT_EQ(AppCommFor(st, COP_DISC), R::LS_Disc) << st;
    for (int cop = 3; cop <= COP_COUNT; ++cop) EXPECT_EQ(AppCommFor(st, cop), R::None) << st;
  }
  for (int st = 1; st <= SET_COUNT; st += 2) {
    EXPECT_EQ(AppCommFor(st, COP_REQ), R::AC_Req) << st;
    EXPECT_EQ(AppCommFor(st, COP_DISC), R::AC_Disc) << st;
  }
}

TEST(AppComm, EntriesOfTheMainSets) {
  const struct {
    int st, cop;
    R want;
  } cases[] = {
      {ST_ERS, 6, R::None},    {ST_ERS, 3, R::AC_Cancel}, {ST_ERS, 4, R::AC_Ans},
      {ST_ERS, 5, R::AC_Forb}, {ST_ERS, 7, R::AC_Phase},  {ST_ERS, 8, R::AC_Perc},
      {ST_ERS, 9, R::None},    {ST_ECP, 5, R::AC_Forb},   {ST_ECP, 9, R::AC_Forb},
      {ST_ECP, 8, R::AC_Perc}, {ST_ECP, 10, R::None},     {ST_PCS, 4, R::AC_Load},
      {ST_PCS, 6, R::AC_Load}, {ST_PCS, 8, R::None},      {ST_RPR, 4, R::IN_Cmd},
      {ST_RPR, 11, R::IN_Cmd}, {ST_RPR, 7, R::AC_Phase},  {ST_RPR, 12, R::None},
      {ST_TPR, 3, R::None},    {ST_ESR, 5, R::AC_Forb},   {ST_ESR, 8, R::None},
      {ST_REC, 8, R::AC_Load}, {ST_REC, 12, R::AC_Load},  {ST_REC, 7, R::AC_Phase},
  };
  for (const auto& c : cases) EXPECT_EQ(AppCommFor(c.st, c.cop), c.want) << c.st << "/" << c.cop;
}

}  // namespace
}  // namespace kassiro
