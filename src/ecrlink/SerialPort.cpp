#include "ecrlink/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "ecrlink/Clock.h"
#include "ecrlink/SimpleComObject.h"

namespace kassiro {

namespace {

constexpr int READ_WINDOW_MS = 10;
constexpr std::int64_t WRITE_GRACE_MS = 1000;  // beyond the transmit time, for a stalled device

// A read window must last its 10 ms even when the device reports a failure at once
// (a hung-up line), or the caller's polling loop would spin.
void WaitOut(std::int64_t deadlineMs) {
  const int left = MillisLeft(deadlineMs);
  if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(left));
}

}  // namespace

TSerialPort::TSerialPort(std::string portName, std::int32_t speed)
    : FName(std::move(portName)), FSpeed(speed) {}

TSerialPort::~TSerialPort() { Close(); }

void TSerialPort::Open() {
  if (FLine.IsOpen()) throw ECommError("Port " + FName + " already taken!", EBUSY);
  if (const auto failure = FLine.Open(FName, FSpeed)) {
    const char* pre = failure->Step == platform::TSerialLine::TStep::Open ? "Unable to open port "
                                                                          : "Unable to configure port ";
    throw ECommError(pre + FName + "!", failure->Error.value());
  }
  FBufPos = FBufLen = 0;
}

void TSerialPort::Close() {
  FLine.Close();
  FBufPos = FBufLen = 0;
}

bool TSerialPort::ReadByte(std::uint8_t& b, int& errNo) {
  errNo = 0;
  if (FBufPos < FBufLen) {
    b = FBuf[FBufPos++];
    return true;
  }
  const std::int64_t deadline = TSteadyClock::Read() + READ_WINDOW_MS;
  const platform::TSerialRead r = FLine.Read(FBuf, std::chrono::milliseconds(READ_WINDOW_MS));
  if (r.Bytes > 0) {
    FBufLen = r.Bytes;
    FBufPos = 1;
    b = FBuf[0];
    return true;
  }
  if (!r.Error) return false;  // the window passed without a byte
  errNo = r.Error.value();
  WaitOut(deadline);
  return false;
}

bool TSerialPort::Write(std::span<const std::uint8_t> bytes, std::size_t& written, int& errNo) {
  const std::int64_t transmitMs =
      FSpeed > 0 ? static_cast<std::int64_t>(bytes.size()) * 10000 / FSpeed + 1 : 0;
  const auto error = FLine.Write(bytes, written, std::chrono::milliseconds(transmitMs + WRITE_GRACE_MS));
  errNo = error.value();
  return !error;
}

void TSerialPort::PurgeInput() {
  FBufPos = FBufLen = 0;
  FLine.PurgeInput();
}

std::size_t TSerialPort::ReadWaiting(std::span<std::uint8_t> into) {
  const std::size_t kept = std::min(into.size(), FBufLen - FBufPos);
  std::copy_n(FBuf.begin() + static_cast<std::ptrdiff_t>(FBufPos), kept, into.begin());
  FBufPos += kept;
  if (kept > 0 || into.empty()) return kept;
  return FLine.ReadWaiting(into);
}

void TSerialPort::PurgeOutput() { FLine.PurgeOutput(); }

}  // namespace kassiro
