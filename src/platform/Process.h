#pragma once
// The process's own standing with the system: its scheduling priority, what a write to
// a peer that went away does to it, and whether a person types its input.
//
// A second platform provides the three calls (SetPriorityClass on Windows, where a write
// to a closed pipe or socket is an error already and IgnoreBrokenPipes does nothing).
#include <system_error>

namespace kassiro::platform {

// Raises the process's priority to the highest the system grants; the error when the
// process may not.
std::error_code RaiseProcessPriority();

// A write to a closed pipe or socket then fails with an error instead of ending the
// process.
void IgnoreBrokenPipes();

// True when the standard input is a terminal (a person types), not a file or a pipe.
bool InputIsTerminal();

}  // namespace kassiro::platform
