#include "ecrlink/ReplyGuard.h"

#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "util/BarDefs.h"

namespace kassiro {

ShortStr TReplyGuard::SerialOf(std::int32_t Ecr) const {
  return Valid(Ecr) ? FSerial[static_cast<std::size_t>(Ecr)] : ShortStr();
}

bool TReplyGuard::Suspect(std::int32_t Ecr, const ShortStr& Reply) const {
  if (!FPrevFailed || !Valid(Ecr) || !Valid(FPrevEcr) || FPrevEcr == Ecr) return false;
  const ShortStr prev = SerialOf(FPrevEcr);
  const ShortStr own = SerialOf(Ecr);
  // Only two known and different serial numbers tell two registers apart.
  if (prev.empty() || own.empty() || prev.view() == own.view()) return false;
  return GetParam(Reply.view(), POS_ECR_SERIAL_NUMER).view() == prev.view();
}

bool TReplyGuard::Refuse(std::int32_t Ecr) {
  if (!Valid(Ecr)) return false;
  int& run = FRefusals[static_cast<std::size_t>(Ecr)];
  if (++run < MOVED_AFTER) return true;
  run = 0;
  return false;
}

void TReplyGuard::Taken(std::int32_t Ecr, std::int32_t Result, const ShortStr& Reply) {
  FPrevEcr = Ecr;
  FPrevFailed = Result != RES_OK;
  if (!Valid(Ecr)) return;
  if (Result == RES_DIFF) return;  // a refusal run goes on
  FRefusals[static_cast<std::size_t>(Ecr)] = 0;
  if (Result != RES_OK) return;
  const ShortStr serial = GetParam(Reply.view(), POS_ECR_SERIAL_NUMER);
  if (!serial.empty()) FSerial[static_cast<std::size_t>(Ecr)] = serial;
}

}  // namespace kassiro
