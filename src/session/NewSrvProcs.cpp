#include "session/NewSrvProcs.h"

#include <string>

#include "core/LogFile.h"

namespace kassiro {

namespace {

struct THead {
  std::uint8_t St = 0, Cop = 0, ComPort = 0, EcrNo = 0, ErrC = 0;
};

// The intake's own answer: the request's head bytes 1 to 4, the code, no text.
ShortStr IntakeAnswer(const THead& h, std::uint8_t code) {
  return MakeString(h.St, h.Cop, h.ComPort, h.EcrNo, code, {});
}

// The error the head earns, checked in this order; 0 when the head is sound.
std::uint8_t HeadError(const THead& h) {
  if (h.St < 1 || h.St > SET_COUNT) return ERR_UNKNOWN_SET;
  if (h.Cop < 1 || h.Cop > COP_COUNT) return ERR_UNKNOWN_COMMAND;
  if (h.EcrNo < 1 || h.EcrNo > MAX_ECR_COUNT) return ERR_ECRNO;
  return ERR_NO_ERROR;
}

void ReleaseSet(TSetDescr& set) {
  set.OwnerID = 0;
  set.Cop = NO_COP;
  set.Phase = NO_PHASE;
  set.FmAppBuff.clear();
}

}  // namespace

void HandleOnConnect(const TSessionEnv&, std::uint16_t) {
  // A new client holds nothing.
}

void HandleOnDataIn(const TSessionEnv& env, const TAppCommTable& AppComm, std::uint16_t ID,
                    const ShortStr& Data) {
  // Identifier 0 means nobody: such a requester could never be told anything and a
  // set "held" by 0 is a free set.
  if (ID == 0) return;
  THead h;
  ShortStr RBuff;
  // Head bytes beyond the end of a short message read as 0.
  DispatchString(Data, h.St, h.Cop, h.ComPort, h.EcrNo, h.ErrC, RBuff);
  if (const std::uint8_t err = HeadError(h); err != ERR_NO_ERROR) {
    ValidSend(env.IPSrv, ID, IntakeAnswer(h, err));
    return;
  }
  // Only the error byte is missing: a message without a whole head is never
  // dispatched, so it can change nothing.
  if (Data.size() < MSG_HEAD_SIZE) {
    ValidSend(env.IPSrv, ID, IntakeAnswer(h, ERR_UNKNOWN_COMMAND));
    return;
  }
  const TAppComm routine = AppComm[AppRoutineIndex(AppCommFor(h.St, h.Cop))];
  if (routine == nullptr) {
    const ShortStr answer = IntakeAnswer(h, ERR_UNKNOWN_COMMAND);
    ValidSend(env.IPSrv, ID, answer);
    if (IsMainSet(h.St)) ValidSend(env.IPSrv, SetOf(env.S, h.EcrNo, h.St + 1).OwnerID, answer);
    return;
  }
  routine(env, ID, h.St, h.Cop, h.EcrNo, ERR_NO_ERROR, RBuff);
}

void HandleOnDisconnect(const TSessionEnv& env, std::uint16_t ID) {
  if (ID == 0) return;  // every free set has owner 0: there is nothing of "nobody" to free
  for (int e = 1; e <= MAX_ECR_COUNT; ++e) {
    TEcr& ecr = EcrOf(env.S, e);
    // Sets 3 and 13 held by one client were taken together through set 3 and count as
    // one user of the ECR, so the pair gives back one user.
    const bool receiptPair = ecr.Sets[ST_PCS].OwnerID == ID && ecr.Sets[ST_REC].OwnerID == ID;
    for (int st = 1; st <= SET_COUNT; ++st) {
      TSetDescr& set = ecr.Sets[static_cast<std::size_t>(st)];
      if (set.OwnerID != ID) continue;
      LetGoOfResults(env.S, static_cast<std::uint8_t>(e), static_cast<std::uint8_t>(st));
      ReleaseSet(set);
      ReportSetLetGo(env.S, static_cast<std::uint8_t>(e), static_cast<std::uint8_t>(st));
      if (IsMainSet(st) && !(st == ST_REC && receiptPair)) {
        RemoveEcr(env.S, env.NC, static_cast<std::uint8_t>(e));
      }
    }
  }
}

void ValidSend(TClientLink& IPSrv, std::uint16_t ID, const ShortStr& Data) {
  if (ID != 0) IPSrv.SendData(ID, Data);
}

void WaitDriverResult(Session& S, std::uint8_t St, std::uint8_t Cop, std::uint8_t Ecr,
                      const ShortStr& Buff) {
  S.WaitRes = TWaitRes{St, Cop, Ecr, Buff, false, SetOf(S, Ecr, St).OwnerID};
}

void SendDriverResult(Session& S, TClientLink& IPSrv, std::uint8_t ErrC, std::uint8_t WaitBlkCOP) {
  TWaitRes& w = S.WaitRes;
  if (w.St == NO_SET) return;
  const std::uint8_t waitedSet = w.St;
  std::uint8_t answerSet = waitedSet;
  w.St = NO_SET;  // consumed now, whatever follows
  if (waitedSet == ST_REC && SetOf(S, w.Ecr, ST_PCS).OwnerID != 0) answerSet = ST_PCS;
  TSetDescr& set = SetOf(S, w.Ecr, waitedSet);
  // Nothing else can be queued on the set while its result is awaited, so the
  // operation it frees is this one, whoever holds the set now.
  set.Cop = NO_COP;
  set.Phase = NO_PHASE;
  if (w.ForID == 0 || set.OwnerID != w.ForID) {
    w.WaitBlk = false;
    return;
  }
  if (w.WaitBlk) {
    set.WaitBlk2 = true;
    set.WaitBlkBuff = w.Buff;
    set.WaitCOP = w.Cop;
    set.WaitBlkFor = set.OwnerID;
    w.WaitBlk = false;
    w.Cop = WaitBlkCOP;
  }
  const ShortStr answer = MakeString(answerSet, w.Cop, 0, w.Ecr, ErrC, w.Buff);
  ValidSend(IPSrv, set.OwnerID, answer);
  if (IsMainSet(waitedSet)) ValidSend(IPSrv, SetOf(S, w.Ecr, waitedSet + 1).OwnerID, answer);
}

void LetGoOfResults(Session& S, std::uint8_t Ecr, std::uint8_t St) {
  SetOf(S, Ecr, St).WaitBlkFor = 0;
  if (S.WaitRes.St == St && S.WaitRes.Ecr == Ecr) S.WaitRes.ForID = 0;
}

void ReportSetLetGo(Session& S, std::uint8_t Ecr, std::uint8_t St) {
  if (St != ST_ERS && St != ST_ERSL) return;
  if (SetOf(S, Ecr, ST_ERS).OwnerID == 0 && SetOf(S, Ecr, ST_ERSL).OwnerID == 0)
    EcrOf(S, Ecr).ReportHolderLeft = true;
}

void AllowAnswer(Session& S, std::uint8_t Ecr, std::uint8_t St) { S.InSeans = TInSeans{Ecr, St}; }

void ForbidAnswer(Session& S) { S.InSeans = TInSeans{}; }

void AddEcr(Session& S, TPollLink& NC, std::uint8_t Ecr) {
  TEcr& ecr = EcrOf(S, Ecr);
  if (ecr.UserCount == 0) {
    // The polling thread wakes by itself for the new ECR. No Next here: it would cut
    // short an exchange that is still under way with an ECR whose last user just left.
    NC.AddEcr(Ecr);
    if (S.ServerStatus == 0) {
      NC.NoiseOn();
      S.ServerStatus = 1;
    }
  }
  ++ecr.UserCount;
}

void RemoveEcr(Session& S, TPollLink& NC, std::uint8_t Ecr) {
  TEcr& ecr = EcrOf(S, Ecr);
  if (ecr.UserCount == 0) return;
  if (--ecr.UserCount != 0) return;
  NC.RemoveEcr(Ecr);
  ecr.ReportHolderLeft = true;
  if (S.InSeans.Ecr == Ecr) {
    ForbidAnswer(S);
    NC.Next();
  }
  for (const TEcr& other : *S.Ecrs) {
    if (other.UserCount > 0) return;
  }
  S.ServerStatus = 0;
  NC.NoiseOff();
}

bool RepeatedReport(Session& S, std::uint8_t Ecr, const ShortStr& Bf) {
  TEcr& ecr = EcrOf(S, Ecr);
  if (ecr.LastBlockIn.view() == Bf.view()) {
    LogAddLine(std::string("Repeated block: ").append(Bf.view()));
    return true;
  }
  ecr.LastBlockIn = Bf;
  return false;
}

}  // namespace kassiro
