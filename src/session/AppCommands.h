// The client command routines: taking and releasing data sets, queueing operations
// for an ECR, answering or refusing the ECR's requests and asking how far an
// operation has got. Each follows one pattern: owner check, state check, update,
// answer; a refusal is an error code in the answer and changes nothing.
//
// Locking: every routine is called with Session::Lock already held (the intake runs
// under it); none takes the lock itself and none waits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/NewSrvConst.h"
#include "session/NewSrvProcs.h"
#include "util/ShortStr.h"

namespace kassiro {

// All have the signature TAppComm.
void AC_Req(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void LS_Req(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void AC_Disc(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void LS_Disc(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void AC_Cancel(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
               std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void AC_Load(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void IN_Cmd(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void AC_Ans(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void AC_Forb(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void AC_Perc(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);
void AC_Phase(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
              std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff);

// APP_COMM's names bound to their routines.
inline constexpr std::pair<TAppRoutine, TAppComm> APP_COMM_BINDINGS[] = {
    {TAppRoutine::AC_Req, &AC_Req},       {TAppRoutine::LS_Req, &LS_Req},
    {TAppRoutine::AC_Disc, &AC_Disc},     {TAppRoutine::LS_Disc, &LS_Disc},
    {TAppRoutine::AC_Cancel, &AC_Cancel}, {TAppRoutine::AC_Load, &AC_Load},
    {TAppRoutine::IN_Cmd, &IN_Cmd},       {TAppRoutine::AC_Ans, &AC_Ans},
    {TAppRoutine::AC_Forb, &AC_Forb},     {TAppRoutine::AC_Perc, &AC_Perc},
    {TAppRoutine::AC_Phase, &AC_Phase},
};

// Every name but None is bound exactly once (checked on the names: the addresses of
// routines are not comparable at compile time in every build).
static_assert(
    [] {
      std::array<int, APP_ROUTINE_COUNT> bound{};
      for (const auto& [name, routine] : APP_COMM_BINDINGS) ++bound[AppRoutineIndex(name)];
      for (std::size_t i = 0; i < APP_ROUTINE_COUNT; ++i) {
        if (bound[i] != (i == AppRoutineIndex(TAppRoutine::None) ? 0 : 1)) return false;
      }
      return true;
    }(),
    "every routine name of APP_COMM has its routine, and None none");

// The table HandleOnDataIn dispatches through.
inline constexpr TAppCommTable APP_COMM_ROUTINES = [] {
  TAppCommTable t{};
  for (const auto& [name, routine] : APP_COMM_BINDINGS) t[AppRoutineIndex(name)] = routine;
  return t;
}();

}  // namespace kassiro
