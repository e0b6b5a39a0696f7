#include "session/InlineExchange.h"

#include <array>
#include <utility>

#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "session/SessionText.h"
#include "util/BarDefs.h"

namespace kassiro {

namespace {

// The ECR's command letter for each operation code that IN_Cmd queues.
constexpr std::array<std::pair<std::uint8_t, char>, 7> INLINE_LETTERS{{
    {COP_ANSWER, 'R'},
    {COP_FORBID, 'P'},
    {COP_WAIT, 'W'},
    {COP_PERC, 'T'},
    {COP_RAPO, 'I'},
    {COP_TAKE, 'C'},
    {COP_FREE, 'Y'},
}};

}  // namespace

std::uint8_t SerialResultError(std::uint8_t Res) {
  switch (Res) {
    case RES_NAK: return ERR_NAK;
    case RES_DIFF: return ERR_INVALID_BYTE;
    case RES_TIMEOUT: return ERR_TIMEOUT;
    default: return ERR_UNKNOWN;
  }
}

char InlineCommandLetter(std::uint8_t Cop) {
  for (const auto& [cop, letter] : INLINE_LETTERS) {
    if (cop == Cop) return letter;
  }
  return '\0';
}

void HandleEcrInline(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t, const ShortStr& Blk) {
  ForbidAnswer(env.S);
  TERData& data = env.S.IniStru.ERData[Ecr];
  data.SerNum = SerialNumberOf(GetParam(Blk, POS_ECR_SERIAL_NUMER));
  RecordMode(env.S, Ecr, MD_INLINE);
  const TSetDescr& set = SetOf(env.S, Ecr, ST_RPR);
  const char letter = InlineCommandLetter(set.Cop);
  // Nothing queued (a code without a letter is never queued on this set).
  if (set.Cop == NO_COP || letter == '\0') {
    env.NC.Next();
    return;
  }
  ShortStr block(std::string_view(&letter, 1));
  WaitDriverResult(env.S, ST_RPR, set.Cop, Ecr, set.FmAppBuff);
  block.append(set.FmAppBuff);
  env.NC.SendInlBlock(block);
}

void HandleInlSended(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC) {
  ForbidAnswer(env.S);
  if (ErrC == RES_OK) {
    SetOf(env.S, Ecr, ST_RPR).Phase = NOT_COMPLETED;
    return;
  }
  SendDriverResult(env.S, env.IPSrv, SerialResultError(ErrC), 0);
  env.NC.Next();
}

void HandleInlReceived(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC,
                       const ShortStr& Blk) {
  ForbidAnswer(env.S);
  TSetDescr& set = SetOf(env.S, Ecr, ST_RPR);
  set.Cop = NO_COP;
  set.Phase = NO_PHASE;
  env.S.WaitRes.Buff = Blk;
  std::uint8_t err = ERR_NO_ERROR;
  if (ErrC != RES_OK) {
    err = SerialResultError(ErrC);
  } else if (Blk.starts_with('E')) {
    err = ERR_ECR_ERROR;
  }
  SendDriverResult(env.S, env.IPSrv, err, 0);
  env.NC.Next();
}

}  // namespace kassiro
