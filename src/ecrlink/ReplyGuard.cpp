#include "ecrlink/ReplyGuard.h"

#include "core/KassiroConstants.h"
#include "ecrlink/ProtConst.h"
#include "util/BarDefs.h"

namespace kassiro {

std::int32_t TReplyGuard::SerialOf(std::int32_t Ecr) const {
  return Valid(Ecr) ? FSerial[static_cast<std::size_t>(Ecr)] : 0;
}

void TReplyGuard::Know(std::int32_t Ecr, std::int32_t Serial) {
  if (Valid(Ecr) && Serial != 0) FSerial[static_cast<std::size_t>(Ecr)] = Serial;
}

bool TReplyGuard::Suspect(std::int32_t Ecr, const ShortStr& Reply) const {
  if (!FPrevFailed || !Valid(Ecr) || !Valid(FPrevEcr) || FPrevEcr == Ecr) return false;
  const std::int32_t prev = SerialOf(FPrevEcr);
  const std::int32_t own = SerialOf(Ecr);
  // Only two known and different serial numbers tell two registers apart.
  if (prev == 0 || own == 0 || prev == own) return false;
  return SerialNumberOf(GetParam(Reply.view(), POS_ECR_SERIAL_NUMER)) == prev;
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
  Know(Ecr, SerialNumberOf(GetParam(Reply.view(), POS_ECR_SERIAL_NUMER)));
}

}  // namespace kassiro
