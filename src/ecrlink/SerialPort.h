// The byte port over a Linux serial device (termios): raw 8N1, no flow control, the
// line taken exclusively, reads polled in 10 ms windows, writes that return only when
// the bytes are on the line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "ecrlink/BytePort.h"
#include "ecrlink/UniqueFd.h"

namespace kassiro {

// Device path of a port name as the settings hold it: "COMn" (n from 1) is
// /dev/ttyS(n-1); an absolute path is used as is; any other name is "/dev/" + name if
// that exists, else "/dev/tty" + name ("USB0" -> /dev/ttyUSB0, "pts/7" -> /dev/pts/7).
using TPathExists = std::function<bool(const std::string& path)>;
std::string ResolvePortPath(std::string_view name, const TPathExists& exists);
std::string ResolvePortPath(std::string_view name);  // asks the file system

class TSerialPort final : public TBytePort {
 public:
  // portName: the stored name (error texts keep it); speed in baud.
  TSerialPort(std::string portName, std::int32_t speed);
  ~TSerialPort() override;
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  void Open() override;
  void Close() override;
  bool IsOpen() const override { return FFd.valid(); }
  bool ReadByte(std::uint8_t& b, int& errNo) override;
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written, int& errNo) override;
  void PurgeInput() override;
  std::size_t ReadWaiting(std::span<std::uint8_t> into) override;
  void PurgeOutput() override;

  const std::string& DevicePath() const { return FPath; }
  bool IsPseudoTerminal() const { return FIsPty; }

 private:
  bool Configure();
  bool WaitWritable(std::int64_t deadlineMs, int& errNo) const;

  std::string FName;
  std::int32_t FSpeed;
  std::string FPath;
  TUniqueFd FFd;
  bool FIsPty = false;
  std::array<std::uint8_t, 256> FBuf{};  // what the last read brought, handed out byte by byte
  std::size_t FBufPos = 0;
  std::size_t FBufLen = 0;
};

}  // namespace kassiro
