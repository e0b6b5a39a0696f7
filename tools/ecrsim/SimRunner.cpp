#include "SimRunner.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>

namespace kassiro::ecrsim {

std::size_t TPtyLine::Read(std::span<std::uint8_t> buf, int timeoutMs) {
  return FPty.Read(buf, timeoutMs);
}

bool TPtyLine::Write(std::span<const std::uint8_t> bytes) { return FPty.Write(bytes); }

// The port's reads wait 10 ms each: the first byte may take up to timeoutMs, the rest
// are taken while they keep coming.
std::size_t TPortLine::Read(std::span<std::uint8_t> buf, int timeoutMs) {
  std::size_t n = 0;
  int err = 0;
  for (int waited = 0; n == 0 && waited < std::max(timeoutMs, 1); waited += 10) {
    if (FPort.ReadByte(buf[0], err)) n = 1;
  }
  while (n > 0 && n < buf.size() && FPort.ReadByte(buf[n], err)) ++n;
  return n;
}

bool TPortLine::Write(std::span<const std::uint8_t> bytes) {
  std::size_t written = 0;
  int err = 0;
  return FPort.Write(bytes, written, err) && written == bytes.size();
}

TSimRunner::TSimRunner(TSimScript script, TSimLine& line, TRunOptions opts, TClock& clock)
    : FLine(line),
      FOpts(opts),
      FClock(clock),
      FStart(clock.Now()),
      FSink(*this),
      FEngine(std::move(script), FSink) {
  FEngine.SetLog([this](std::string_view l) { Log(l); }, FOpts.Verbose);
}

TSimRunner::~TSimRunner() { Stop(); }

void TSimRunner::SetLog(TLogSink sink) {
  std::lock_guard lock(FMu);
  FLog = std::move(sink);
}

void TSimRunner::SetObserver(TSimEngine::TEventFn fn) {
  std::lock_guard lock(FMu);
  FEngine.SetObserver(std::move(fn));
}

void TSimRunner::Log(std::string_view line) {
  if (!FLog) return;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%7lld ms] ", static_cast<long long>(FClock.Now() - FStart));
  FLog(std::string(stamp).append(line));
}

void TSimRunner::Run(std::stop_token stop) {
  std::array<std::uint8_t, 256> buf{};
  while (!stop.stop_requested()) {
    const std::size_t n = FLine.Read(buf, 10);
    if (n == 0) continue;
    const Millis now = FClock.Now();
    std::lock_guard lock(FMu);
    FEngine.Receive(std::span<const std::uint8_t>(buf.data(), n), now);
  }
}

void TSimRunner::Start() {
  if (FThread.joinable()) return;
  FThread = std::jthread([this](std::stop_token st) { Run(st); });
}

void TSimRunner::Stop() {
  if (!FThread.joinable()) return;
  FThread.request_stop();
  FThread.join();
}

// Called by the engine with FMu held, on the running thread.
void TSimRunner::TSink::Send(std::span<const std::uint8_t> bytes) {
  TSimRunner& r = FRunner;
  bool ok = true;
  if (!r.FOpts.Pace || r.FOpts.Speed <= 0) {
    ok = r.FLine.Write(bytes);
  } else {
    const auto perByte = std::chrono::microseconds(10'000'000 / r.FOpts.Speed);
    for (std::size_t i = 0; ok && i < bytes.size(); ++i) {
      ok = r.FLine.Write(bytes.subspan(i, 1));
      std::this_thread::sleep_for(perByte);
    }
  }
  if (!ok) r.Log("write error: the line does not take bytes");
}

}  // namespace kassiro::ecrsim
