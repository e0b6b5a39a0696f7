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

// A descriptor (signalfd, non-blocking, close-on-exec) that is readable while a held
// stop signal is pending. A program that reads its signals there keeps them held for
// its whole life and runs no signal handler at all, in no thread. Throws
// std::system_error.
int OpenStopSignalFd();

// The next pending stop signal, read from that descriptor; 0 when none is pending.
int TakeStopSignal(int fd);

// Unblocks them in the calling thread, whose handlers must be in place: whatever
// arrived while they were held is delivered now.
void ReleaseStopSignals();

}  // namespace kassiro
