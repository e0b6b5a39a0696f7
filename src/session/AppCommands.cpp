#include "session/AppCommands.h"

#include "core/KassiroConstants.h"
#include "session/ReportsQueries.h"
#include "util/BarDefs.h"

namespace kassiro {

namespace {

// Percentages above this (99.99) are replaced by 0.
constexpr Currency MAX_PERCENT = 999900;

void Answer(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t Err) {
  ValidSend(env.IPSrv, ID, MakeString(ST, COP, 0, Ecr, Err, {}));
}

// The requester first, then the holder of the listening set ST + 1.
void AnswerBoth(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
                std::uint8_t Ecr, std::uint8_t Err) {
  const ShortStr answer = MakeString(ST, COP, 0, Ecr, Err, {});
  ValidSend(env.IPSrv, ID, answer);
  if (IsMainSet(ST)) ValidSend(env.IPSrv, SetOf(env.S, Ecr, ST + 1).OwnerID, answer);
}

// Operations of set 3 are kept in the descriptor of set 13.
constexpr std::uint8_t RealSetOf(std::uint8_t ST) { return ST == ST_PCS ? ST_REC : ST; }

// Owner check with the refusal to both; true when ID holds the descriptor.
bool OwnedOrRefused(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
                    std::uint8_t Ecr, std::uint8_t descrSet) {
  if (SetOf(env.S, Ecr, descrSet).OwnerID == ID) return true;
  AnswerBoth(env, ID, ST, COP, Ecr, ERR_NOT_YOURS);
  return false;
}

// The error a request to take set ST earns (ERR_TAKEN, ERR_PASSWORD) or 0.
std::uint8_t TakeRefusal(const TSessionEnv& env, std::uint8_t ST, std::uint8_t Ecr,
                         const ShortStr& RBuff) {
  // A password sent without its terminator still forms field 1.
  const ShortStr text = RBuff + ';';
  bool taken = false;
  for (int i = 1; i <= SET_COUNT; ++i) {
    if (SetsIncompatible(ST, i) && SetOf(env.S, Ecr, i).OwnerID != 0) taken = true;
  }
  if (taken) return ERR_TAKEN;
  if (GetParam(text, 1).view() != env.S.IniStru.SetPW[ST].view()) return ERR_PASSWORD;
  return ERR_NO_ERROR;
}

// The operation handed to the ECR from this descriptor still awaits its result
// (cancelled or not): the descriptor is busy until the result is delivered.
bool ResultAwaited(const Session& S, std::uint8_t Ecr, std::uint8_t descrSet) {
  return S.WaitRes.St == descrSet && S.WaitRes.Ecr == Ecr;
}

void QueueOperation(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
                    std::uint8_t Ecr, std::uint8_t descrSet, const ShortStr& RBuff) {
  if (!OwnedOrRefused(env, ID, ST, COP, Ecr, descrSet)) return;
  TSetDescr& set = SetOf(env.S, Ecr, descrSet);
  if (set.Cop != NO_COP || ResultAwaited(env.S, Ecr, descrSet)) {
    AnswerBoth(env, ID, ST, COP, Ecr, ERR_BUSY);
    return;
  }
  set.Cop = COP;
  set.Phase = NOT_SENDED;
  set.FmAppBuff = RBuff;
}

// A parked result that a departed holder left is still due to the holder of the
// listening set; only one of the set's present holder is dropped.
void DropOwnParkedResult(TSetDescr& set) {
  if (set.WaitBlkFor == 0 && set.WaitBlk2) return;
  set.WaitBlk2 = false;
  set.WaitCOP = 0;
  set.WaitBlkBuff.clear();
  set.WaitBlkFor = 0;
}

bool WindowOpenFor(const Session& S, std::uint8_t Ecr, std::uint8_t ST) {
  return S.InSeans.Ecr == Ecr && S.InSeans.St == ST;
}

}  // namespace

void AC_Req(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t, const ShortStr& RBuff) {
  if (const std::uint8_t err = TakeRefusal(env, ST, Ecr, RBuff); err != ERR_NO_ERROR) {
    if (err == ERR_PASSWORD) env.IPSrv.WrongPassword(ID);
    AnswerBoth(env, ID, ST, COP, Ecr, err);
    return;
  }
  TSetDescr& set = SetOf(env.S, Ecr, ST);
  set.OwnerID = ID;
  set.Cop = NO_COP;
  set.Phase = NO_PHASE;
  DropOwnParkedResult(set);
  if (ST == ST_PCS) {
    TSetDescr& rec = SetOf(env.S, Ecr, ST_REC);
    rec.OwnerID = ID;
    rec.Cop = NO_COP;
    rec.Phase = NO_PHASE;
  }
  AddEcr(env.S, env.NC, Ecr);
  AnswerBoth(env, ID, ST, COP, Ecr, ERR_NO_ERROR);
  if (ST == ST_ERS) HandOnKeptReport(env, ID, Ecr);
}

void LS_Req(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t, const ShortStr& RBuff) {
  if (const std::uint8_t err = TakeRefusal(env, ST, Ecr, RBuff); err != ERR_NO_ERROR) {
    if (err == ERR_PASSWORD) env.IPSrv.WrongPassword(ID);
    Answer(env, ID, ST, COP, Ecr, err);
    return;
  }
  Answer(env, ID, ST, COP, Ecr, ERR_NO_ERROR);
  TSetDescr& set = SetOf(env.S, Ecr, ST);
  set.OwnerID = ID;
  set.Cop = NO_COP;
  set.Phase = NO_PHASE;
  if (ST == ST_ERSL) HandOnKeptReport(env, ID, Ecr);
}

void AC_Disc(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t, const ShortStr&) {
  if (!OwnedOrRefused(env, ID, ST, COP, Ecr, ST)) return;
  // Set 13 taken through set 3 shares set 3's user of the ECR; releasing it alone
  // leaves that user to set 3.
  const bool sharesUser = ST == ST_REC && SetOf(env.S, Ecr, ST_PCS).OwnerID == ID;
  LetGoOfResults(env.S, Ecr, ST);
  TSetDescr& set = SetOf(env.S, Ecr, ST);
  set.OwnerID = 0;
  set.Cop = NO_COP;
  set.Phase = NO_PHASE;
  if (ST == ST_PCS) {
    LetGoOfResults(env.S, Ecr, ST_REC);
    TSetDescr& rec = SetOf(env.S, Ecr, ST_REC);
    rec.OwnerID = 0;
    rec.Cop = NO_COP;
    rec.Phase = NO_PHASE;
  }
  ReportSetLetGo(env.S, Ecr, ST);
  if (!sharesUser) RemoveEcr(env.S, env.NC, Ecr);
  AnswerBoth(env, ID, ST, COP_DISC, Ecr, ERR_NO_ERROR);
}

void LS_Disc(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t, const ShortStr&) {
  TSetDescr& set = SetOf(env.S, Ecr, ST);
  if (set.OwnerID != ID) {
    Answer(env, ID, ST, COP, Ecr, ERR_NOT_YOURS);
    return;
  }
  set.OwnerID = 0;
  set.Cop = NO_COP;
  set.Phase = NO_PHASE;
  ReportSetLetGo(env.S, Ecr, ST);
  Answer(env, ID, ST, COP_DISC, Ecr, ERR_NO_ERROR);
}

void AC_Cancel(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
               std::uint8_t Ecr, std::uint8_t, const ShortStr&) {
  const std::uint8_t realSet = RealSetOf(ST);
  if (!OwnedOrRefused(env, ID, ST, COP, Ecr, realSet)) return;
  TSetDescr& set = SetOf(env.S, Ecr, realSet);
  set.Phase = NO_PHASE;
  set.Cop = NO_COP;
  DropOwnParkedResult(set);
  AnswerBoth(env, ID, ST, COP, Ecr, ERR_NO_ERROR);
}

void AC_Load(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t, const ShortStr& RBuff) {
  QueueOperation(env, ID, ST, COP, Ecr, RealSetOf(ST), RBuff);
}

void IN_Cmd(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t, const ShortStr& RBuff) {
  QueueOperation(env, ID, ST, COP, Ecr, ST, RBuff);
}

void AC_Phase(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
              std::uint8_t Ecr, std::uint8_t, const ShortStr&) {
  const std::uint8_t realSet = RealSetOf(ST);
  if (!OwnedOrRefused(env, ID, ST, COP, Ecr, realSet)) return;
  AnswerBoth(env, ID, ST, COP, Ecr, SetOf(env.S, Ecr, realSet).Phase);
}

void AC_Ans(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
            std::uint8_t Ecr, std::uint8_t, const ShortStr& RBuff) {
  if (!OwnedOrRefused(env, ID, ST, COP, Ecr, ST)) return;
  if (!WindowOpenFor(env.S, Ecr, ST)) {
    AnswerBoth(env, ID, ST, COP, Ecr, ERR_TOO_LATE);
    return;
  }
  env.NC.SendOnlBlock(RBuff);
  ForbidAnswer(env.S);
  WaitDriverResult(env.S, ST, COP, Ecr, RBuff);
}

void AC_Forb(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t, const ShortStr&) {
  if (!OwnedOrRefused(env, ID, ST, COP, Ecr, ST)) return;
  if (!WindowOpenFor(env.S, Ecr, ST)) {
    AnswerBoth(env, ID, ST, COP, Ecr, ERR_TOO_LATE);
    return;
  }
  env.NC.Next();
  ForbidAnswer(env.S);
  AnswerBoth(env, ID, ST, COP, Ecr, ERR_NO_ERROR);
}

void AC_Perc(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST, std::uint8_t COP,
             std::uint8_t Ecr, std::uint8_t ErrC, const ShortStr& RBuff) {
  Currency per = StrToCurrDef(GetParam(RBuff, 1), 0, env.Locale);
  if (per > MAX_PERCENT || per < 0) per = 0;
  ShortStr text = "C;;";
  text.append(CurrToStr(per, 2)).append(";;;;");
  AC_Ans(env, ID, ST, COP, Ecr, ErrC, text);
}

}  // namespace kassiro
