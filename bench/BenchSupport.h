// Small pieces the benchmark programs share: a folder of their own for log and settings
// files, the simulator's end of a pseudo-terminal with time stamps, CPU clocks,
// statistics over samples, and the mode and failure of a program with several modes.
#pragma once

#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "TempDir.h"  // tests/support
#include "ecrsim/SimRunner.h"

namespace kassiro::bench {

using Clock = std::chrono::steady_clock;

// A fresh folder under the system's temporary directory, removed with everything in it.
using TScratchDir = testing::TempDir;

// The ECRs' end of a pseudo-terminal that notes when bytes arrived and when the last
// frame the ECRs sent was completely written. Used on the simulator's thread only (the
// runner reads, writes and calls its observer there).
class TStampedLine final : public ecrsim::TSimLine {
 public:
  explicit TStampedLine(platform::TPty& pty) : FInner(pty) {}

  std::size_t Read(std::span<std::uint8_t> buf, int timeoutMs) override {
    const std::size_t n = FInner.Read(buf, timeoutMs);
    if (n > 0) FLastRead = Clock::now();
    return n;
  }
  bool Write(std::span<const std::uint8_t> bytes) override {
    const auto begin = Clock::now();
    const bool ok = FInner.Write(bytes);
    // An ECR's frame starts with 0A (the simulator sends no fill) and goes in one write.
    if (ok && !bytes.empty() && bytes.front() == 0x0A) {
      FFrameBegun = begin;
      FFrameWritten = Clock::now();
      FFramePayload.assign(bytes.begin() + 1, bytes.end() - std::min<std::size_t>(bytes.size() - 1, 3));
      if (FOnFrame) FOnFrame(FFramePayload, FFrameBegun, FFrameWritten);
    }
    return ok;
  }

  // Called on the simulator's thread for every frame the ECRs wrote: its payload, when
  // the write began and when it returned. Set before the runner starts.
  using TFrameFn = std::function<void(const std::string& payload, Clock::time_point begun,
                                      Clock::time_point written)>;
  void SetOnFrame(TFrameFn fn) { FOnFrame = std::move(fn); }

  // When the read that brought the event being handled returned.
  Clock::time_point LastRead() const { return FLastRead; }
  // When the write of the ECRs' last frame began and when it returned, and its payload.
  Clock::time_point FrameBegun() const { return FFrameBegun; }
  Clock::time_point FrameWritten() const { return FFrameWritten; }
  const std::string& FramePayload() const { return FFramePayload; }

 private:
  ecrsim::TPtyLine FInner;
  Clock::time_point FLastRead{};
  Clock::time_point FFrameBegun{};
  Clock::time_point FFrameWritten{};
  std::string FFramePayload;
  TFrameFn FOnFrame;
};

// CPU seconds of a clock (CLOCK_PROCESS_CPUTIME_ID, or a thread's clock).
inline double CpuSeconds(clockid_t id) {
  timespec ts{};
  if (::clock_gettime(id, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The CPU clock of the calling thread, readable from other threads while it lives.
inline clockid_t ThisThreadCpuClock() {
  clockid_t id{};
  ::pthread_getcpuclockid(::pthread_self(), &id);
  return id;
}

inline double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Percentile p (0..1) of samples (reordered), nearest rank below; 0 for none.
inline double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

inline double Median(std::vector<double> v) { return Percentile(v, 0.5); }

// The line's transmit time of n bytes of 10 bits at speed baud, in milliseconds.
constexpr double WireMs(int bytes, int speed) { return bytes * 10.0 * 1000.0 / speed; }

// The load averages over 1, 5 and 15 minutes, to print beside the figures.
inline std::string LoadAverage() {
  double l[3] = {0, 0, 0};
  if (::getloadavg(l, 3) != 3) return "?";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f %.2f %.2f", l[0], l[1], l[2]);
  return buf;
}

// The mode a program with several modes was asked for, its first argument: one of
// `modes`, or empty when none of them was given.
inline std::string ModeArgument(int argc, char** argv, std::initializer_list<std::string_view> modes) {
  if (argc < 2) return {};
  const std::string_view mode = argv[1];
  return std::find(modes.begin(), modes.end(), mode) != modes.end() ? std::string(mode) : std::string();
}

// Runs a benchmark to its exit code; one that fails is reported on stderr as
// "program: reason" and ends with 1.
template <class TBench>
int RunReporting(const char* program, TBench bench) {
  try {
    return bench();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

}  // namespace kassiro::bench
