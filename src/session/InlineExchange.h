// The in-line exchange: a command that a client queued on set ST_RPR goes to the ECR
// when the ECR answers a poll with a short block, and the ECR's reply goes back to the
// client. The three handlers are the server's side of the polling thread's in-line
// events, called on the polling thread in the order HandleEcrInline, HandleInlSended,
// HandleInlReceived.
//
// Locking: every handler is called with Session::Lock already held (the event wiring
// takes it around each event); none takes the lock itself and none waits.
#pragma once

#include <cstdint>

#include "session/NewSrvProcs.h"
#include "util/ShortStr.h"

namespace kassiro {

// The client error code for a failed serial send or read (RES_NAK, RES_DIFF,
// RES_TIMEOUT, anything else); RES_OK is the caller's own case.
std::uint8_t SerialResultError(std::uint8_t Res);

// The command letter of an operation queued on ST_RPR, or 0 for a code that has none.
char InlineCommandLetter(std::uint8_t Cop);

// OnEcrInLine: Blk is the ECR's short poll answer; ErrC is not used.
void HandleEcrInline(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC,
                     const ShortStr& Blk);
// OnInlSended: ErrC is the result of sending the command block.
void HandleInlSended(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC);
// OnInlReceived: ErrC is the result of reading the reply Blk.
void HandleInlReceived(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC,
                       const ShortStr& Blk);

}  // namespace kassiro
