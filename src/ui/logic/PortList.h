// The machine's serial ports under the short names the settings hold: ttyS<n> is
// "COM<n+1>", ttyUSB0 is "USB0", ttyACM0 is "ACM0", any other tty<X> is "<X>"; the
// serial device layer maps each name back to its device.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kassiro::ui {

struct TSerialPortEntry {
  std::string Name;         // short name, as stored in the settings
  std::string Device;       // "/dev/ttyUSB0"
  std::string Description;  // its /dev/serial/by-id name, if it has one
};

// The short name of a kernel tty name, or nothing when it has none that fits the
// settings' 6 characters.
std::optional<std::string> ShortPortName(std::string_view ttyName);

// Orders names by their letters, then by their number: COM2 before COM10.
bool PortNameLess(std::string_view a, std::string_view b);

// The ttys of sysClassTty that have a device behind them (a "device" entry), with
// their by-id names from byIdDir, sorted by PortNameLess.
std::vector<TSerialPortEntry> ListSerialPorts(
    const std::filesystem::path& sysClassTty = "/sys/class/tty",
    const std::filesystem::path& byIdDir = "/dev/serial/by-id");

}  // namespace kassiro::ui
