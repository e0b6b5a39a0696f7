#pragma once
// The serial port: the machine's serial devices under the short names the settings hold
// (both ways: a name to its device, a device to its name, and the list of them), and an
// open line: raw 8 data bits, no parity, one stop bit, no flow control, taken exclusively,
// reads that wait a bounded time, writes that return only when the bytes are on the line.
//
// On POSIX a device is a termios tty: "COMn" is /dev/ttyS(n-1), "USB0" /dev/ttyUSB0,
// "pts/7" /dev/pts/7. A second platform provides the same calls over its own devices
// (COMn itself on Windows, listed from the registry), in its own implementation files.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kassiro::platform {

// The device of a port name as the settings hold it: "COMn" (n from 1) is /dev/ttyS(n-1);
// an absolute path is used as is; any other name is "/dev/" + name if that exists, else
// "/dev/tty" + name ("USB0" -> /dev/ttyUSB0, "pts/7" -> /dev/pts/7). "" for "".
using TPathExists = std::function<bool(const std::string& path)>;
std::string ResolvePortPath(std::string_view name, const TPathExists& exists);
std::string ResolvePortPath(std::string_view name);  // asks the file system

// True when the name leads to a serial device that could be opened (a character device).
bool IsPortDevice(std::string_view name);

// The short name of a system device name ("ttyS0" -> "COM1", "ttyUSB0" -> "USB0", any
// other tty<X> -> "<X>"), or nothing when it has none that fits the settings' 6 characters.
std::optional<std::string> ShortPortName(std::string_view deviceName);

// Orders names by their letters, then by their number: COM2 before COM10.
bool PortNameLess(std::string_view a, std::string_view b);

struct TSerialPortEntry {
  std::string Name;         // short name, as stored in the settings
  std::string Device;       // "/dev/ttyUSB0"
  std::string Description;  // the system's longer name for it (by-id), if it has one
};

// The machine's serial ports with a device behind them, sorted by PortNameLess.
std::vector<TSerialPortEntry> ListSerialPorts();

// What a read brought: bytes, or none in the time given (no error), or a failure.
struct TSerialRead {
  std::size_t Bytes = 0;
  std::error_code Error;
};

class TSerialLine {
 public:
  // Which step of an open failed, for the texts "Unable to open port" and "Unable to
  // configure port".
  enum class TStep { Open, Configure };
  struct TOpenFailure {
    TStep Step;
    std::error_code Error;
  };

  TSerialLine();
  ~TSerialLine();
  TSerialLine(const TSerialLine&) = delete;
  TSerialLine& operator=(const TSerialLine&) = delete;

  // Opens the device of the port name at speed (baud; any speed the device takes) and
  // takes it for this program alone; what arrived before is dropped. A pseudo-terminal
  // has no line speed, so a speed it refuses is no failure there.
  std::optional<TOpenFailure> Open(std::string_view portName, std::int32_t speed);
  // Closes it; another program may take it then.
  void Close();
  bool IsOpen() const;
  // The device the last Open resolved, and whether it is a pseudo-terminal.
  const std::string& DevicePath() const { return FPath; }
  bool IsPseudoTerminal() const { return FIsPty; }

  // Waits up to wait for bytes and reads what is there, up to the size of into. A line
  // that hung up, or one not open, is a failure at once.
  TSerialRead Read(std::span<std::uint8_t> into, std::chrono::milliseconds wait);
  // What is there, without waiting (nothing on a failure).
  std::size_t ReadWaiting(std::span<std::uint8_t> into);
  // Writes all bytes and returns once they are on the line, or fails (after limit for a
  // device that takes no more); written: how many it took.
  std::error_code Write(std::span<const std::uint8_t> bytes, std::size_t& written, std::chrono::milliseconds limit);
  // Drops what arrived and was not read, or what was written and not yet sent.
  void PurgeInput();
  void PurgeOutput();

 private:
  struct TNative;  // the system's handle, the implementation's own
  std::unique_ptr<TNative> FNative;
  std::string FPath;
  bool FIsPty = false;
};

}  // namespace kassiro::platform
