// The byte port over the machine's serial line (platform/SerialPort.h): the protocol's
// 10 ms read windows and byte-by-byte reads, and its error texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ecrlink/BytePort.h"
#include "platform/SerialPort.h"

namespace kassiro {

using platform::ResolvePortPath;
using platform::TPathExists;

class TSerialPort final : public TBytePort {
 public:
  // portName: the stored name (error texts keep it); speed in baud.
  TSerialPort(std::string portName, std::int32_t speed);
  ~TSerialPort() override;
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  void Open() override;
  void Close() override;
  bool IsOpen() const override { return FLine.IsOpen(); }
  bool ReadByte(std::uint8_t& b, int& errNo) override;
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written, int& errNo) override;
  void PurgeInput() override;
  std::size_t ReadWaiting(std::span<std::uint8_t> into) override;
  void PurgeOutput() override;

  const std::string& DevicePath() const { return FLine.DevicePath(); }
  bool IsPseudoTerminal() const { return FLine.IsPseudoTerminal(); }

 private:
  std::string FName;
  std::int32_t FSpeed;
  platform::TSerialLine FLine;
  std::array<std::uint8_t, 256> FBuf{};  // what the last read brought, handed out byte by byte
  std::size_t FBufPos = 0;
  std::size_t FBufLen = 0;
};

}  // namespace kassiro
