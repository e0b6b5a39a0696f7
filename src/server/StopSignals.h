// The signals that stop or restart the server (SIGINT, SIGTERM, SIGHUP). Their default
// action ends the process on the spot, without the settings being saved; so a program
// holds them back from the first instruction of main, and lets them through only once
// it can handle them: a signal that came meanwhile is then delivered, not lost.
#pragma once

#include <csignal>

namespace kassiro {

// The signals held back and handled by the server.
sigset_t StopSignalSet();

// Blocks the stop signals in the calling thread; every thread it starts afterwards
// inherits the block, so the signals can only ever reach the thread that releases them.
void HoldStopSignals();

// Unblocks them in the calling thread, whose handlers must be in place: whatever
// arrived while they were held is delivered now.
void ReleaseStopSignals();

}  // namespace kassiro
