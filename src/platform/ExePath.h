#pragma once
// Where the running program's executable lies: its files (settings, log, INI, the
// single-instance socket) are named after it and lie beside it.
//
// A second platform provides ExecutablePath from its own source (GetModuleFileNameW on
// Windows).

#include <filesystem>

namespace kassiro::platform {

// The running executable's real path, links resolved; empty when the system cannot
// tell.
std::filesystem::path ExecutablePath();

}  // namespace kassiro::platform
