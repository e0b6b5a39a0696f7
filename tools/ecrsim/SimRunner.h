// Runs the simulator engine on a real line: reads what the computer sends, feeds the
// engine and writes its answers, optionally paced at the line's speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <stop_token>
#include <string_view>
#include <thread>

#include "SimEngine.h"
#include "ecrlink/BytePort.h"
#include "ecrlink/Clock.h"
#include "platform/Pty.h"

namespace kassiro::ecrsim {

// The ECRs' end of the line.
class TSimLine {
 public:
  virtual ~TSimLine() = default;
  // Waits at most timeoutMs for the first byte, then takes what is there; 0: none.
  virtual std::size_t Read(std::span<std::uint8_t> buf, int timeoutMs) = 0;
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
};

// The master side of a pseudo-terminal pair; the computer opens the slave side.
class TPtyLine final : public TSimLine {
 public:
  explicit TPtyLine(platform::TPty& pty) : FPty(pty) {}
  std::size_t Read(std::span<std::uint8_t> buf, int timeoutMs) override;
  bool Write(std::span<const std::uint8_t> bytes) override;

 private:
  platform::TPty& FPty;
};

// A serial device (an open byte port).
class TPortLine final : public TSimLine {
 public:
  explicit TPortLine(TBytePort& port) : FPort(port) {}
  std::size_t Read(std::span<std::uint8_t> buf, int timeoutMs) override;
  bool Write(std::span<const std::uint8_t> bytes) override;

 private:
  TBytePort& FPort;
};

struct TRunOptions {
  int Speed = 9600;
  bool Pace = false;     // sleep each byte's transmit time (10 bits) while writing
  bool Verbose = false;  // log filler too
};

class TSimRunner {
 public:
  using TLogSink = std::function<void(std::string_view line)>;

  // Throws TScriptError for an unusable script.
  TSimRunner(TSimScript script, TSimLine& line, TRunOptions opts,
             TClock& clock = TSteadyClock::Instance());
  ~TSimRunner();  // stops the thread of Start()
  TSimRunner(const TSimRunner&) = delete;
  TSimRunner& operator=(const TSimRunner&) = delete;

  // Log lines "[    123 ms] take 03", times from the runner's creation. Set before running.
  void SetLog(TLogSink sink);
  // Every received event, on the runner's thread with the engine locked: the observer
  // must not call WithEngine.
  void SetObserver(TSimEngine::TEventFn fn);

  // Serves the line until stop is requested (checked every 10 ms).
  void Run(std::stop_token stop);
  // Run on a thread of the runner's own; Stop() ends and joins it.
  void Start();
  void Stop();

  // The engine, locked against the running loop.
  template <typename F>
  auto WithEngine(F&& f) {
    std::lock_guard lock(FMu);
    return f(FEngine);
  }

 private:
  class TSink final : public TByteSink {
   public:
    explicit TSink(TSimRunner& r) : FRunner(r) {}
    void Send(std::span<const std::uint8_t> bytes) override;

   private:
    TSimRunner& FRunner;
  };

  void Log(std::string_view line);

  TSimLine& FLine;
  TRunOptions FOpts;
  TClock& FClock;
  Millis FStart;
  TLogSink FLog;
  TSink FSink;
  std::mutex FMu;
  TSimEngine FEngine;
  std::jthread FThread;
};

}  // namespace kassiro::ecrsim
