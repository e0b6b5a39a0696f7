#include "ecrlink/ReplyGuard.h"

#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "util/BarDefs.h"

namespace kassiro {

std::string ReplyJudgementText(std::int32_t Ecr, const TReplyJudgement& J, std::int32_t Own) {
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
    case TReplyVerdict::OtherSerial:
      return take + "a frame with " + serial + ", not ECR " + std::to_string(Ecr) + "'s " +
             std::to_string(Own) + ", was left unacknowledged";
    case TReplyVerdict::MaybeLate:
      return take + "a frame with " + serial + " may be a late one of " + other +
             ", not heard before, and was left unacknowledged";
  }
  return take + "reply taken";
}

std::int32_t TReplyGuard::SerialOf(std::int32_t Ecr) const {
  return Valid(Ecr) ? FSerial[static_cast<std::size_t>(Ecr)] : 0;
}

void TReplyGuard::Know(std::int32_t Ecr, std::int32_t Serial) {
  if (Valid(Ecr) && Serial != 0) FSerial[static_cast<std::size_t>(Ecr)] = Serial;
}

std::int32_t TReplyGuard::OwnerOf(std::int32_t Ecr, std::int32_t Serial) const {
  for (std::int32_t other = 1; other <= MAX_ECR; ++other)
    if (other != Ecr && SerialOf(other) == Serial) return other;
  return 0;
}

bool TReplyGuard::FailedLast(std::int32_t Ecr) const {
  return Valid(Ecr) && FFailed[static_cast<std::size_t>(Ecr)];
}

bool TReplyGuard::Believes(std::int32_t Ecr) const {
  return Valid(Ecr) && FRefusals[static_cast<std::size_t>(Ecr)] >= MOVED_AFTER - 1;
}

TReplyJudgement TReplyGuard::Judge(std::int32_t Ecr, const ShortStr& Reply, bool AfterRefused) const {
  TReplyJudgement j;
  j.Serial = SerialNumberOf(GetParam(Reply.view(), POS_ECR_SERIAL_NUMER));
  const std::int32_t own = SerialOf(Ecr);
  if (!Valid(Ecr) || j.Serial == 0 || j.Serial == own) return j;  // nothing tells otherwise
  j.Other = OwnerOf(Ecr, j.Serial);
  // Without an own serial number, another ECR's is a late frame only if that ECR's
  // last take failed; otherwise the two registers may well share their number.
  if (j.Other != 0 && (own != 0 || FailedLast(j.Other))) j.Verdict = TReplyVerdict::OtherEcr;
  else if (j.Other != 0) j.Other = 0;
  else if (own != 0) j.Verdict = TReplyVerdict::OtherSerial;
  else if (FPrevFailed && Valid(FPrevEcr) && FPrevEcr != Ecr && SerialOf(FPrevEcr) == 0 && !AfterRefused) {
    j.Verdict = TReplyVerdict::MaybeLate;
    j.Other = FPrevEcr;
  }
  if (j.Refused() && Believes(Ecr)) j.Verdict = TReplyVerdict::Believed;
  return j;
}

void TReplyGuard::Taken(std::int32_t Ecr, std::int32_t Result, const ShortStr& Reply) {
  FPrevEcr = Ecr;
  FPrevFailed = Result != RES_OK;
  if (!Valid(Ecr)) return;
  FFailed[static_cast<std::size_t>(Ecr)] = FPrevFailed;
  int& run = FRefusals[static_cast<std::size_t>(Ecr)];
  run = Result == RES_DIFF ? run + 1 : 0;
  if (Result == RES_OK) Know(Ecr, SerialNumberOf(GetParam(Reply.view(), POS_ECR_SERIAL_NUMER)));
}

}  // namespace kassiro
