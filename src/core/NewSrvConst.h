// The two constant tables of the server: which command routine serves each pair of
// data set and operation (APP_COMM), and which sets may be held together on one ECR
// (SETS_INCOMPATIBLE).
#pragma once

#include <array>
#include <cstdint>

#include "core/KassiroConstants.h"

namespace kassiro {

// The command routines a client request can reach; the session logic maps each
// name to its routine.
enum class TAppRoutine : std::uint8_t {
  None,  // an empty entry: answered with ERR_UNKNOWN_COMMAND
  AC_Req,
  LS_Req,
  AC_Disc,
  LS_Disc,
  AC_Cancel,
  AC_Load,
  IN_Cmd,
  AC_Ans,
  AC_Forb,
  AC_Perc,
  AC_Phase,
};

namespace app_comm_detail {
using R = TAppRoutine;
inline constexpr R _ = R::None;
inline constexpr R Req = R::AC_Req, LReq = R::LS_Req, Disc = R::AC_Disc, LDisc = R::LS_Disc,
                   Canc = R::AC_Cancel, Load = R::AC_Load, Cmd = R::IN_Cmd, Ans = R::AC_Ans,
                   Forb = R::AC_Forb, Perc = R::AC_Perc, Phas = R::AC_Phase;
using Row = std::array<R, COP_COUNT>;
}  // namespace app_comm_detail

// APP_COMM[st - 1][cop - 1] for set 1..14 and operation 1..12.
inline constexpr std::array<app_comm_detail::Row, SET_COUNT> APP_COMM = [] {
  using namespace app_comm_detail;
  //        1     2      3     4     5     6     7     8     9     10    11    12
  return std::array<Row, SET_COUNT>{{
      {Req, Disc, Canc, Ans, Forb, _, Phas, Perc, _, _, _, _},                  // 1 ST_ERS
      {LReq, LDisc, _, _, _, _, _, _, _, _, _, _},                              // 2 ST_ERSL
      {Req, Disc, Canc, Load, Load, Load, Phas, _, _, _, _, _},                 // 3 ST_PCS
      {LReq, LDisc, _, _, _, _, _, _, _, _, _, _},                              // 4 ST_PCSL
      {Req, Disc, Canc, Cmd, Cmd, Cmd, Phas, Cmd, Cmd, Cmd, Cmd, _},            // 5 ST_RPR
      {LReq, LDisc, _, _, _, _, _, _, _, _, _, _},                              // 6 ST_RPRL
      {Req, Disc, _, _, _, _, _, _, _, _, _, _},                                // 7 ST_TPR
      {LReq, LDisc, _, _, _, _, _, _, _, _, _, _},                              // 8 ST_TPRL
      {Req, Disc, Canc, Ans, Forb, _, Phas, Perc, Forb, _, _, _},               // 9 ST_ECP
      {LReq, LDisc, _, _, _, _, _, _, _, _, _, _},                              // 10 ST_ECPL
      {Req, Disc, Canc, Ans, Forb, _, Phas, _, _, _, _, _},                     // 11 ST_ESR
      {LReq, LDisc, _, _, _, _, _, _, _, _, _, _},                              // 12 ST_KSRL
      {Req, Disc, Canc, Load, Load, Load, Phas, Load, Load, Load, Load, Load},  // 13 ST_REC
      {LReq, LDisc, _, _, _, _, _, _, _, _, _, _},                              // 14 ST_RECL
  }};
}();

// The routine for set st (1..14) and operation cop (1..12).
constexpr TAppRoutine AppCommFor(int st, int cop) { return APP_COMM[st - 1][cop - 1]; }

// SETS_INCOMPATIBLE[requested - 1][held - 1] == 1: the requested set can't be taken
// while the held set has an owner on the same ECR.
inline constexpr std::array<std::array<std::uint8_t, SET_COUNT>, SET_COUNT> SETS_INCOMPATIBLE{{
    //1  2  3  4  5  6  7  8  9 10 11 12 13 14
    {1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},  // 1
    {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // 2
    {1, 0, 1, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0},  // 3
    {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // 4
    {0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0},  // 5
    {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0},  // 6
    {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0},  // 7
    {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0},  // 8
    {0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0},  // 9
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0},  // 10
    {0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0},  // 11
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0},  // 12
    {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0},  // 13
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},  // 14
}};

constexpr bool SetsIncompatible(int requested, int held) {
  return SETS_INCOMPATIBLE[requested - 1][held - 1] != 0;
}

}  // namespace kassiro
