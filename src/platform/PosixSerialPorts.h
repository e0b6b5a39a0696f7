#pragma once
// Inside the platform library and its tests only: the serial ports as the POSIX
// implementation finds them, from folders a test can lay out.

#include <filesystem>
#include <vector>

#include "platform/SerialPort.h"

namespace kassiro::platform {

// The ttys of sysClassTty that have a device behind them (a "device" entry), with their
// by-id names from byIdDir, sorted by PortNameLess.
std::vector<TSerialPortEntry> ListSerialPortsIn(const std::filesystem::path& sysClassTty,
                                                const std::filesystem::path& byIdDir);

}  // namespace kassiro::platform
