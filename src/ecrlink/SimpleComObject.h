// The serial protocol to the ECRs over a byte port: take and release requests, data
// frames with CRC and ACK/NAK, their time-outs, and idle filler from a thread of its own.
#pragma once

#include <array>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ecrlink/BasicComObject.h"
#include "ecrlink/BytePort.h"
#include "ecrlink/Clock.h"
#include "ecrlink/LineCounters.h"
#include "ecrlink/LineTrace.h"
#include "util/ShortStr.h"

namespace kassiro {

// A port that can't be opened or configured, or is used while closed.
class ECommError : public std::runtime_error {
 public:
  explicit ECommError(const std::string& text, int sysError = 0)
      : std::runtime_error(text), FSysError(sysError) {}
  int SysError() const noexcept { return FSysError; }  // errno behind it, 0 if none

 private:
  int FSysError;
};

// Fill bytes FF sent ahead of a data frame, by line speed.
struct TWaitConstant {
  std::uint32_t Speed;
  std::uint16_t BefBeg;
};
inline constexpr int SpCount = 8;
inline constexpr std::array<TWaitConstant, SpCount> SendWaitConsts = {{
    {1200, 1}, {2400, 2}, {4800, 4}, {9600, 9}, {14400, 4}, {19200, 7}, {28800, 9}, {38400, 15},
}};

// Index of InSpeed in SendWaitConsts, -1 if it is none of the eight.
constexpr std::int32_t GetSpeedIndex(std::int32_t InSpeed) {
  for (std::int32_t i = 0; i < SpCount; ++i)
    if (InSpeed > 0 && SendWaitConsts[static_cast<std::size_t>(i)].Speed == static_cast<std::uint32_t>(InSpeed))
      return i;
  return -1;
}

class TSimpleComObject;

// Puts idle filler on the line while turned on; parked (no wake-ups at all) while off.
class TNoiseThread {
 public:
  static constexpr std::chrono::milliseconds PERIOD{100};

  explicit TNoiseThread(TSimpleComObject& Owner);  // starts parked
  ~TNoiseThread();                                 // wakes the thread and waits for it
  TNoiseThread(const TNoiseThread&) = delete;
  TNoiseThread& operator=(const TNoiseThread&) = delete;

  void Resume();
  // Returns once no filler step runs and none will start until the next Resume.
  void Park();

 private:
  void Execute();

  TSimpleComObject& FOwner;
  std::mutex FMutex;
  std::condition_variable FWake;     // to the thread: on, off or terminate
  std::condition_variable FChanged;  // from the thread: a step ended, or it parked
  bool FStop = true;
  bool FTerminated = false;
  bool FInStep = false;
  std::thread FThread;  // last: starts when everything above is ready
};

class TSimpleComObject final : public TBasicCommunicationObject {
 public:
  using TPortFactory =
      std::function<std::unique_ptr<TBytePort>(const std::string& portName, int speed)>;
  using TLogSink = std::function<void(std::string_view line)>;

  // Makes a TSerialPort for the name and speed.
  static TPortFactory DefaultPortFactory();

  explicit TSimpleComObject(TPortFactory PortFactory = DefaultPortFactory(),
                            TClock& Clock = TSteadyClock::Instance());
  ~TSimpleComObject() override;
  TSimpleComObject(const TSimpleComObject&) = delete;
  TSimpleComObject& operator=(const TSimpleComObject&) = delete;

  void OpenEcrPort() override;
  void CloseEcrPort() override;
  void NoiseOn() override;
  void NoiseOff() override;
  std::int32_t TakeEcr(std::int32_t Ecr, ShortStr& Block) override;
  void FreeEcr() override;
  std::int32_t SendBlock(ShortStr Block) override;
  std::int32_t GetBlock(ShortStr& Block, std::uint32_t BegTimeOut) override;
  // Ends the wait under way (within one 10 ms read) and every later take, send and
  // receive with RES_TIMEOUT, without touching the line; FreeEcr and closing still work.
  void Abort() override { FAborted = true; }
  // A read or write that fails because the device is gone (EIO, ENXIO, ENODEV, EBADF)
  // marks the line lost: logged once, "Port NAME lost: " and the failure's text.
  bool LineLost() const override { return FLost; }
  // Logs "Port NAME open again" when it succeeds.
  bool ReopenEcrPort() override;
  // Counted per ECR, the one taken last: takes, takes answered, time-outs of the line
  // (not those of an abort or a lost device), frames received with a bad CRC, NAKs sent
  // and received, frames sent again after a NAK, and the time of each intact frame.
  void SetLineStats(TLineStats* Stats) override { FStats = Stats; }
  // Every byte written (filler included) and every byte read, while a trace runs.
  void SetLineTrace(TLineTrace* Trace) override { FTrace = Trace; }

  bool IsOpen() const;
  // One check of the filler: FE FE if nothing was written for NOISE_TIMEOUT after the
  // end of the last write. The filler thread calls it every 100 ms.
  void NoiseStep();
  // Where failed reads and writes are reported; the program's log by default.
  void SetLogSink(TLogSink Sink) { FLog = std::move(Sink); }

 private:
  struct TWriteResult {
    bool ok = false;
    int errNo = 0;
    Millis begin = 0;             // when the write began
    std::uint32_t timeForSend = 0;  // transmit time of what was written
  };

  void CheckOpen() const;
  TWriteResult WriteLocked(std::span<const std::uint8_t> bytes);  // csRW held
  TWriteResult WriteFileCs(std::span<const std::uint8_t> bytes);
  TWriteResult SendAckNak(std::uint8_t b);
  bool ReadOne(std::uint8_t& b, std::string_view where);
  static constexpr std::size_t DRAIN_LIMIT = 2048;  // bytes read and discarded before a take
  void DrainBeforeTake();  // csRW held
  void FrameOutsideTake(const ShortStr& Payload);
  void LogOutsideTake(Millis now);
  // How often the log says that frames arrive outside any take.
  static constexpr Millis OUTSIDE_LOG_EVERY = 60'000;
  // A take's reply is checked before its ACK (see SetReplyCheck); other frames are not.
  enum class TFrameCheck : std::uint8_t { None, TakeReply };
  std::int32_t ReceiveFrame(ShortStr& Block, Millis start, Millis timeOut,
                            TFrameCheck check = TFrameCheck::None);
  void IoFailed(std::string_view what, int errNo, std::string_view where);
  bool Stopped() const { return FAborted || FLost; }
  void Count(TLineCount e) {
    if (FStats != nullptr) FStats->Count(FCurrentEcr.load(std::memory_order_relaxed), e);
  }
  void IoWorked();

  TPortFactory FPortFactory;
  TClock& FClock;
  TLogSink FLog;
  std::unique_ptr<TBytePort> FPort;  // null while the port is closed
  mutable std::mutex csRW;           // serialises all use of the port
  std::atomic<Millis> FLastBeginSend{0};
  std::atomic<std::uint32_t> FLastTimeForSend{0};
  std::int32_t FSpIndex = -1;
  TLineStats* FStats = nullptr;
  TLineTrace* FTrace = nullptr;
  std::atomic<std::int32_t> FCurrentEcr{0};  // the ECR taken last, 0 once released
  std::atomic<std::uint32_t> FFailedIo{0};  // failed reads/writes since the line last worked
  std::atomic<bool> FAborted{false};
  std::atomic<bool> FLost{false};     // the device is gone; FPort may be null meanwhile
  std::unique_ptr<TNoiseThread> FNoise;     // null while the port is closed
  // Intact frames found waiting before a take since the last log line about them, the
  // first few serial numbers they carried, and when that line was last written.
  std::uint64_t FOutsideUnlogged = 0;
  std::vector<std::int32_t> FOutsideSerials;
  std::optional<Millis> FOutsideLogged;
};

}  // namespace kassiro
