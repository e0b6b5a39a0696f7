// The pseudo-terminal pair the tests and benchmarks drive the server's line with, under
// the name they use; it is built apart from the server (see platform/Pty.h).
#pragma once

#include "platform/Pty.h"

namespace kassiro {

using platform::TPty;

}  // namespace kassiro
