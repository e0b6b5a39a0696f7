#include "session/OnlineAnswers.h"

#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "session/InlineExchange.h"
#include "util/BarDefs.h"

namespace kassiro {

void HandleOnlSended(const TSessionEnv& env, std::uint8_t, std::uint8_t ErrC) {
  ForbidAnswer(env.S);
  if (ErrC == RES_OK) {
    SendDriverResult(env.S, env.IPSrv, ERR_NO_ERROR, SND_R);
  } else {
    SendDriverResult(env.S, env.IPSrv, SerialResultError(ErrC), 0);
  }
  env.NC.Next();
}

void HandleSendReqTimeOut(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t) {
  ForbidAnswer(env.S);
  // Every other awaited result of an on-line request is sent from inside the request's
  // own handler, before the wait starts: one still awaited for this ECR is an answer
  // that came too late for the thread.
  if (env.S.WaitRes.St != NO_SET && env.S.WaitRes.Ecr == Ecr) {
    SendDriverResult(env.S, env.IPSrv, ERR_TOO_LATE, 0);
  }
}

void SendCommandResult(const TSessionEnv& env, std::uint8_t ST, std::uint8_t Ecr,
                       std::uint8_t Err) {
  std::uint8_t answerSet = ST;
  if (ST == ST_REC && SetOf(env.S, Ecr, ST_PCS).OwnerID != 0) answerSet = ST_PCS;
  TSetDescr& set = SetOf(env.S, Ecr, ST);
  const ShortStr msg = MakeString(answerSet, set.WaitCOP, 0, Ecr, Err, set.WaitBlkBuff);
  // A holder that let go of the set never hands its result to the next one.
  if (set.WaitBlkFor != 0 && set.WaitBlkFor == set.OwnerID) ValidSend(env.IPSrv, set.OwnerID, msg);
  if (IsMainSet(ST)) ValidSend(env.IPSrv, SetOf(env.S, Ecr, ST + 1).OwnerID, msg);
  set.WaitBlk2 = false;
  set.WaitCOP = 0;
  set.WaitBlkBuff.clear();
  set.WaitBlkFor = 0;
}

}  // namespace kassiro
