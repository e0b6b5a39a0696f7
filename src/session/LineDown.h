// The serial line lost: nothing waits on it.
//
// Locking: called with Session::Lock already held (the event wiring takes it).
#pragma once

#include "session/NewSrvProcs.h"

namespace kassiro {

// OnLineDown: no ECR can be reached now. A result still awaited and every operation
// queued on a set go back to their clients with the error a time-out gives
// (ERR_TIMEOUT) and the client's own text, as after a send that timed out, and their
// sets are free again. Raised when the line goes and again while it stays away, so a
// command queued in the meantime does not wait either.
void HandleLineDown(const TSessionEnv& env);

}  // namespace kassiro
