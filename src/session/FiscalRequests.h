// Fiscal-printer and receipt requests: an ECR asks for the next step of a receipt and
// is answered from the operation that a client queued on the receipt set ST_REC.
//
// Locking: every routine is called with Session::Lock already held (they run inside
// the on-line handler); none takes the lock itself and none waits.
#pragma once

#include <cstdint>

#include "session/NewSrvProcs.h"
#include "util/ShortStr.h"

namespace kassiro {

// RBuff is the ECR's relayed request: serial number, block number, then its data.
void AskFPSell(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff);
void AskFPPrint(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff);
void AskRec(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& RBuff);

}  // namespace kassiro
