// What the line did with each ECR, counted by the polling side for people who look
// into a running server: takes and their answers, time-outs, frames with a bad check
// sum, NAKs both ways, repeated blocks and the time of the last answer. Counted from the
// polling thread and read from any thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace kassiro {

struct TLineCounters {
  std::uint64_t Takes = 0;
  std::uint64_t TakesAnswered = 0;
  std::uint64_t TimeOuts = 0;
  std::uint64_t BadCrc = 0;        // frames received with a bad check sum
  std::uint64_t NaksSent = 0;
  std::uint64_t NaksReceived = 0;
  std::uint64_t Repeats = 0;       // blocks sent again after a NAK
  std::int64_t LastAnswer = 0;     // system time of the last frame received, seconds; 0 = never
  bool operator==(const TLineCounters&) const = default;
};

enum class TLineCount { Take, TakeAnswered, TimeOut, BadCrc, NakSent, NakReceived, Repeat };

// The counters of ECRs 1..99; numbers outside are ignored.
class TLineStats {
 public:
  static constexpr int MAX_ECR = 99;

  void Count(int ecr, TLineCount e) {
    if (ecr < 1 || ecr > MAX_ECR) return;
    auto& c = FEcr[static_cast<std::size_t>(ecr)];
    c[static_cast<std::size_t>(e)].fetch_add(1, std::memory_order_relaxed);
    if (e == TLineCount::TakeAnswered) Answered(ecr);
  }
  void Answered(int ecr) {
    if (ecr < 1 || ecr > MAX_ECR) return;
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    FLast[static_cast<std::size_t>(ecr)].store(now.count(), std::memory_order_relaxed);
  }
  TLineCounters Of(int ecr) const {
    TLineCounters out;
    if (ecr < 1 || ecr > MAX_ECR) return out;
    const auto& c = FEcr[static_cast<std::size_t>(ecr)];
    auto at = [&](TLineCount e) { return c[static_cast<std::size_t>(e)].load(std::memory_order_relaxed); };
    out.Takes = at(TLineCount::Take);
    out.TakesAnswered = at(TLineCount::TakeAnswered);
    out.TimeOuts = at(TLineCount::TimeOut);
    out.BadCrc = at(TLineCount::BadCrc);
    out.NaksSent = at(TLineCount::NakSent);
    out.NaksReceived = at(TLineCount::NakReceived);
    out.Repeats = at(TLineCount::Repeat);
    out.LastAnswer = FLast[static_cast<std::size_t>(ecr)].load(std::memory_order_relaxed);
    return out;
  }

 private:
  static constexpr std::size_t EVENTS = 7;
  std::array<std::array<std::atomic<std::uint64_t>, EVENTS>, MAX_ECR + 1> FEcr{};
  std::array<std::atomic<std::int64_t>, MAX_ECR + 1> FLast{};
};

}  // namespace kassiro
