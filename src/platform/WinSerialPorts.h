#pragma once
// Inside the platform library and its tests only: the serial ports as the Windows
// implementation finds them, from the registry's list of a test's making, and the
// system's error numbers as the line's callers know them.

#include <string>
#include <system_error>
#include <vector>

#include "platform/SerialPort.h"

namespace kassiro::platform {

// One value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: the driver's device ("\Device\Serial0")
// and the port it gives ("COM1"), both in UTF-8.
struct TRegistryPort {
  std::string Device;
  std::string Port;
};

// The ports of the registry's list whose names fit the settings, each once, sorted by
// PortNameLess.
std::vector<TSerialPortEntry> SerialPortsFrom(std::vector<TRegistryPort> values);

// Where a Windows error came from: opening a port, or using one that is open.
enum class TSerialCall { Open, Io };

// The errno of a Windows error number, so the line's callers read the same numbers on
// every platform: a port in use is EBUSY, a missing one ENOENT; any failure of an open
// port means the device is gone (a pulled USB adapter answers with several of them) and
// is ENODEV, except a timeout.
std::error_code SerialError(unsigned long winError, TSerialCall call);

}  // namespace kassiro::platform
