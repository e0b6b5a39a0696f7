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

std::int32_t TReplyGuard::OwnerOf(std::int32_t Ecr, const ShortStr& Reply) const {
  const std::int32_t own = SerialOf(Ecr);
  if (own == 0) return 0;  // nothing to tell the reply apart by
  const std::int32_t serial = SerialNumberOf(GetParam(Reply.view(), POS_ECR_SERIAL_NUMER));
  if (serial == 0 || serial == own) return 0;
  for (std::int32_t other = 1; other <= MAX_ECR; ++other)
    if (other != Ecr && SerialOf(other) == serial) return other;
  return 0;
}

bool TReplyGuard::Believes(std::int32_t Ecr) const {
  return Valid(Ecr) && FRefusals[static_cast<std::size_t>(Ecr)] >= MOVED_AFTER - 1;
}

void TReplyGuard::Taken(std::int32_t Ecr, std::int32_t Result, const ShortStr& Reply) {
  if (!Valid(Ecr)) return;
  int& run = FRefusals[static_cast<std::size_t>(Ecr)];
  run = Result == RES_DIFF ? run + 1 : 0;
  if (Result == RES_OK) Know(Ecr, SerialNumberOf(GetParam(Reply.view(), POS_ECR_SERIAL_NUMER)));
}

}  // namespace kassiro
