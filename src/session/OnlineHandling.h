// On-line message handling: an ECR that answers a poll with a long block reports
// something, asks a question that a client must answer, or requests the next step of
// a fiscal-printer job or receipt. The handler reads the block's head fields, settles
// the results waiting for the ECR's confirmation and hands the block on by its command.
//
// Locking: the handler is called with Session::Lock already held (the event wiring
// takes it around each event); it takes no lock itself and never waits.
#pragma once

#include <cstdint>

#include "session/NewSrvProcs.h"
#include "util/ShortStr.h"

namespace kassiro {

// OnOnlReceived: Blk is the ECR's on-line block (the handler works on a copy); ErrC
// is not used.
void HandleOnlReceived(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC,
                       const ShortStr& Blk);

// Asked before a take reply is acknowledged, with the reply in the application's
// character set. False for a report while the ECR's last holder of a report set (or of
// any main set) has left since the take began and nobody holds one now: the frame is left
// unacknowledged and the ECR keeps the report for its next take. Any other reply may be
// acknowledged, and the take it answers is over for this check; a report acknowledged
// while a report set is held reaches a holder even if all of them leave before it is
// handed on (see ECRReport).
bool MayAcknowledgeReply(const TSessionEnv& env, std::uint8_t Ecr, const ShortStr& Blk);

// OnTakeError: the take ended without a reply taken (silence, or a report left
// unacknowledged).
void HandleTakeError(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC);

}  // namespace kassiro
