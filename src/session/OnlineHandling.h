// On-line message handling: an ECR that answers a poll with a long block reports
// something, asks a question that a client must answer, or requests the next step of
// a fiscal-printer job or receipt. The handler reads the block's head fields, settles
// the results waiting for the ECR's confirmation and hands the block on by its command.
//
// Locking: the handler is called with Session::Lock already held (the event wiring
// takes it around each event); it takes no lock itself and never waits.
#pragma once

#include <cstdint>

#include "net/NewSrvProcs.h"
#include "util/ShortStr.h"

namespace kassiro {

// OnOnlReceived: Blk is the ECR's on-line block (the handler works on a copy); ErrC
// is not used.
void HandleOnlReceived(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC,
                       const ShortStr& Blk);

}  // namespace kassiro
