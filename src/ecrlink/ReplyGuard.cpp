#include "ecrlink/ReplyGuard.h"

#include <algorithm>

#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "util/BarDefs.h"

namespace kassiro {

namespace {

std::int32_t SerialField(const ShortStr& Reply) {
  return SerialNumberOf(GetParam(Reply.view(), POS_ECR_SERIAL_NUMER));
}

}  // namespace

std::string ReplyJudgementText(std::int32_t Ecr, const TReplyJudgement& J) {
  const std::string take = "Take " + std::to_string(Ecr) + ": ";
  const std::string serial = "serial " + std::to_string(J.Serial);
  const std::string other = "ECR " + std::to_string(J.Other);
  switch (J.Verdict) {
    case TReplyVerdict::Own:
      break;
    case TReplyVerdict::Believed:
      return take + "a frame with " + serial + " came again alone and is taken as ECR " +
             std::to_string(Ecr) + "'s own";
    case TReplyVerdict::OtherEcr:
      return take + "a frame of " + other + " (" + serial + ") was left unacknowledged";
    case TReplyVerdict::Copy:
      return take + "a second copy of the reply of " + other + " (" + serial + ") was left unacknowledged";
    case TReplyVerdict::Shared:
      return take + "a poll answer with " + serial + ", which " + other +
             " was answered with in this round, was left unacknowledged";
    case TReplyVerdict::Stray:
      return take + "a frame with " + serial + ", known for no ECR, came while frames arrive outside any take "
             "and was left unacknowledged";
    case TReplyVerdict::Unsure:
      return take + "a frame with " + serial + ", known for no ECR, waits for a frame after it";
    case TReplyVerdict::MaybeLate:
      return take + "a frame with " + serial + " may be a late one of " + other +
             ", not heard before, and was left unacknowledged";
  }
  return take + "reply taken";
}

std::int32_t TReplyGuard::SerialOf(std::int32_t Ecr) const {
  return Valid(Ecr) ? At(Ecr).Serial : 0;
}

void TReplyGuard::Know(std::int32_t Ecr, std::int32_t Serial) {
  if (!Valid(Ecr) || Serial == 0) return;
  TEcrState& e = At(Ecr);
  if (e.Serial != Serial && e.Serial != 0) e.PrevSerial = e.Serial;
  e.Serial = Serial;
  e.Heard = true;
}

void TReplyGuard::Restart() {
  FPrevEcr = 0;
  FRestartAt = FTakeNo;
}

bool TReplyGuard::IsOwn(std::int32_t Ecr, std::int32_t Serial) const {
  return At(Ecr).Serial == Serial || At(Ecr).PrevSerial == Serial;
}

// The ECR is known by a number other than Serial.
bool TReplyGuard::HasOtherOwn(std::int32_t Ecr, std::int32_t Serial) const {
  const TEcrState& e = At(Ecr);
  return (e.Serial != 0 && e.Serial != Serial) || (e.PrevSerial != 0 && e.PrevSerial != Serial);
}

bool TReplyGuard::KnownForAny(std::int32_t Serial) const {
  for (std::int32_t ecr = 1; ecr <= MAX_ECR_COUNT; ++ecr)
    if (IsOwn(ecr, Serial)) return true;
  return false;
}

void TReplyGuard::Offer(std::int32_t Ecr, std::int32_t Serial, std::uint64_t TakeNo) {
  // A round has at most MAX_ECR_COUNT takes, each with at most REPEAT_COUNT + 1 frames:
  // older offers are of no round any more.
  constexpr std::uint64_t KEEP_TAKES = 2 * MAX_ECR_COUNT;
  constexpr std::size_t KEEP_OFFERS = KEEP_TAKES * (REPEAT_COUNT + 1);
  if (Serial == 0) return;
  FOffers.push_back({TakeNo, Ecr, Serial});
  while (!FOffers.empty() && (FOffers.size() > KEEP_OFFERS || FOffers.front().Take + KEEP_TAKES <= FTakeNo))
    FOffers.pop_front();
}

void TReplyGuard::Offered(std::int32_t Ecr, const TReplyJudgement& J) {
  if (!Valid(Ecr)) return;
  Offer(Ecr, J.Serial, FTakeNo + 1);  // the take under way
  if (J.Refused()) At(Ecr).RefusedSerial = J.Serial;
}

std::vector<int> TReplyGuard::SharedWith(std::int32_t Ecr, std::int32_t Serial) const {
  std::vector<int> out;
  if (!Valid(Ecr) || Serial == 0) return out;
  const std::uint64_t since = std::max(At(Ecr).TakenAt, FRestartAt);
  for (const TOffer& o : FOffers)
    if (o.Take > since && o.Ecr != Ecr && o.Serial == Serial &&
        std::find(out.begin(), out.end(), o.Ecr) == out.end())
      out.push_back(o.Ecr);
  std::sort(out.begin(), out.end());
  return out;
}

// The other ECR known by Serial whose take failed since Ecr's take before (in this
// round, on this line); 0 if none.
std::int32_t TReplyGuard::FailedOwnerOf(std::int32_t Ecr, std::int32_t Serial) const {
  const std::uint64_t since = std::max(At(Ecr).TakenAt, FRestartAt);
  for (std::int32_t other = 1; other <= MAX_ECR_COUNT; ++other) {
    const TEcrState& o = At(other);
    if (other != Ecr && o.Serial == Serial && o.FailedAt > since) return other;
  }
  return 0;
}

// The other ECRs whose reply with Serial was accepted since Ecr's take before.
std::vector<int> TReplyGuard::AnsweredInRound(std::int32_t Ecr, std::int32_t Serial) const {
  std::vector<int> out;
  const std::uint64_t since = At(Ecr).TakenAt;
  if (since == 0) return out;  // its first take: no round of its own yet
  for (std::int32_t other = 1; other <= MAX_ECR_COUNT; ++other) {
    const TEcrState& o = At(other);
    if (other != Ecr && o.Serial == Serial && o.AnsweredAt > since) out.push_back(other);
  }
  return out;
}

// The other ECR whose reply accepted since Ecr's take before was exactly Reply; 0 if none.
std::int32_t TReplyGuard::CopiedFrom(std::int32_t Ecr, const ShortStr& Reply) const {
  const std::uint64_t since = std::max(At(Ecr).TakenAt, FRestartAt);
  for (std::int32_t other = 1; other <= MAX_ECR_COUNT; ++other) {
    const TEcrState& o = At(other);
    if (other != Ecr && o.AnsweredAt > since && o.LastReply == Reply.view()) return other;
  }
  return 0;
}

TReplyJudgement TReplyGuard::Judge(std::int32_t Ecr, const ShortStr& Reply, bool AfterRefused) const {
  TReplyJudgement j;
  j.Serial = SerialField(Reply);
  if (!Valid(Ecr) || j.Serial == 0) return j;  // nothing tells otherwise
  const bool own = IsOwn(Ecr, j.Serial);
  if (!own && (j.Other = FailedOwnerOf(Ecr, j.Serial)) != 0) {
    j.Verdict = TReplyVerdict::OtherEcr;
    if (At(Ecr).Refusals >= MOVED_AFTER - 1 && AnsweredInRound(Ecr, j.Serial).empty() &&
        SharedWith(Ecr, j.Serial).empty())
      j.Verdict = TReplyVerdict::Believed;
    return j;
  }
  if (Reply.size() <= MAX_INLINE_REPLY && HasOtherOwn(Ecr, j.Serial)) {
    if (const auto others = SharedWith(Ecr, j.Serial); !others.empty()) {
      j.Verdict = TReplyVerdict::Shared;
      j.Other = others.front();
      return j;
    }
  }
  if (own) return j;
  if (!At(Ecr).Heard && FPrevFailed && Valid(FPrevEcr) && FPrevEcr != Ecr && !At(FPrevEcr).Heard &&
      !AfterRefused) {
    j.Verdict = TReplyVerdict::MaybeLate;
    j.Other = FPrevEcr;
  } else if (Reply.size() > MAX_INLINE_REPLY && !AfterRefused && At(Ecr).Refusals < MOVED_AFTER - 1) {
    if ((j.Other = CopiedFrom(Ecr, Reply)) != 0) j.Verdict = TReplyVerdict::Copy;
  }
  if (j.Verdict != TReplyVerdict::Own || KnownForAny(j.Serial)) return j;
  const TEcrState& e = At(Ecr);
  const bool sameAgain = e.Refusals >= MOVED_AFTER - 1 && e.RefusedSerial == j.Serial;
  j.Verdict = FOutside && !AfterRefused && !sameAgain ? TReplyVerdict::Stray : TReplyVerdict::Unsure;
  return j;
}

std::vector<int> TReplyGuard::Taken(std::int32_t Ecr, std::int32_t Result, const ShortStr& Reply) {
  ++FTakeNo;
  FPrevEcr = Ecr;
  FPrevFailed = Result != RES_OK;
  std::vector<int> shared;
  if (!Valid(Ecr)) return shared;
  TEcrState& e = At(Ecr);
  e.Refusals = Result == RES_DIFF ? e.Refusals + 1 : 0;
  e.FailedAt = Result == RES_OK ? 0 : FTakeNo;
  if (Result == RES_OK) {
    const std::int32_t serial = SerialField(Reply);
    if (serial != 0) shared = AnsweredInRound(Ecr, serial);
    Offer(Ecr, serial, FTakeNo);
    Know(Ecr, serial);
    e.Heard = true;
    e.AnsweredAt = FTakeNo;
    e.LastReply = Reply;
  }
  e.TakenAt = FTakeNo;
  return shared;
}

}  // namespace kassiro
