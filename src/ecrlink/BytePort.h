// The narrow byte port under the protocol: a termios device in production, an
// in-memory port in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kassiro {

class TBytePort {
 public:
  virtual ~TBytePort() = default;
  // Opens and configures the device; throws ECommError with the protocol's texts.
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // One byte, waiting at most 10 ms; returns as soon as a byte is there.
  // false: no byte (time-out) or a failed read (errNo set to the system error).
  virtual bool ReadByte(std::uint8_t& b, int& errNo) = 0;
  // Writes all bytes and returns when they are on the line (or failed: errNo set).
  virtual bool Write(std::span<const std::uint8_t> bytes, std::size_t& written, int& errNo) = 0;
  virtual void PurgeInput() = 0;
  // Bytes that arrived and were not read yet (what PurgeInput throws away), up to the
  // size of into, without waiting; their count. Only a line trace asks.
  virtual std::size_t ReadWaiting(std::span<std::uint8_t> into) {
    (void)into;
    return 0;
  }
  virtual void PurgeOutput() = 0;
};

}  // namespace kassiro
