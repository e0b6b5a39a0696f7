// On-line answers and deferred results: the outcome of sending an answer block to an
// ECR's on-line request goes to the client whose answer it was; results that the ECR
// must confirm are parked in their set and delivered with the ECR's next on-line block.
//
// Locking: every routine is called with Session::Lock already held (the event wiring
// takes it around each event); none takes the lock itself and none waits.
#pragma once

#include <cstdint>

#include "session/NewSrvProcs.h"

namespace kassiro {

// OnOnlSended: ErrC is the result of sending the answer block.
void HandleOnlSended(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC);

// OnSendReqTimeOutError: nobody answered the ECR in time. Closes the answer window;
// a client answer that was accepted but reached the polling thread after it had
// stopped waiting is never sent, so its client gets ERR_TOO_LATE with its text.
void HandleSendReqTimeOut(const TSessionEnv& env, std::uint8_t Ecr, std::uint8_t ErrC);

// Delivers the result parked in set ST of the ECR with error Err and clears it.
void SendCommandResult(const TSessionEnv& env, std::uint8_t ST, std::uint8_t Ecr, std::uint8_t Err);

}  // namespace kassiro
