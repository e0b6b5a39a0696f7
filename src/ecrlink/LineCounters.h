// What the line did with each ECR, counted by the polling side for people who look
// into a running server: takes and their answers, time-outs, frames with a bad check
// sum, NAKs both ways, repeated blocks, replies with a serial number another ECR answered
// with in the same polling round, and the time of the last answer. Counted from the
// polling thread and read from any thread.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/KassiroConstants.h"

namespace kassiro {

struct TLineCounters {
  std::uint64_t Takes = 0;
  std::uint64_t TakesAnswered = 0;
  std::uint64_t TimeOuts = 0;
  std::uint64_t BadCrc = 0;        // frames received with a bad check sum
  std::uint64_t NaksSent = 0;
  std::uint64_t NaksReceived = 0;
  std::uint64_t Repeats = 0;       // blocks sent again after a NAK
  std::uint64_t SharedSerial = 0;  // replies whose serial number another ECR answered with too
  std::int64_t LastAnswer = 0;     // system time of the last frame received, seconds; 0 = never
  bool operator==(const TLineCounters&) const = default;
};

enum class TLineCount { Take, TakeAnswered, TimeOut, BadCrc, NakSent, NakReceived, Repeat, SharedSerial };

// Every count with its field and the names people read it by, in the order it is shown:
// the key in -Status:json, the column of -Status and the words of the counters at stop.
struct TLineCountName {
  TLineCount Count;
  std::uint64_t TLineCounters::*Field;
  std::string_view Key;
  std::string_view Column;
  std::string_view Words;
};
inline constexpr std::array<TLineCountName, 8> LINE_COUNTS = {{
    {TLineCount::Take, &TLineCounters::Takes, "takes", "Takes", "takes"},
    {TLineCount::TakeAnswered, &TLineCounters::TakesAnswered, "takesAnswered", "Answered", "answered"},
    {TLineCount::TimeOut, &TLineCounters::TimeOuts, "timeOuts", "Time-outs", "time-outs"},
    {TLineCount::BadCrc, &TLineCounters::BadCrc, "badCrc", "Bad CRC", "bad CRC"},
    {TLineCount::NakSent, &TLineCounters::NaksSent, "naksSent", "NAK sent", "NAK sent"},
    {TLineCount::NakReceived, &TLineCounters::NaksReceived, "naksReceived", "NAK rcvd", "NAK received"},
    {TLineCount::Repeat, &TLineCounters::Repeats, "repeats", "Repeats", "repeats"},
    {TLineCount::SharedSerial, &TLineCounters::SharedSerial, "sharedSerial", "Shared", "shared serial"},
}};
// The table follows the enum, so each count's entry stands at the count's own index.
static_assert([] {
  for (std::size_t i = 0; i < LINE_COUNTS.size(); ++i)
    if (static_cast<std::size_t>(LINE_COUNTS[i].Count) != i) return false;
  return true;
}());

// One serial number that answered for several ECR numbers: a device answering for
// others, or registers that carry the same number.
struct TSharedSerial {
  std::int32_t Serial = 0;
  std::vector<int> Ecrs;  // ascending
  std::int64_t Last = 0;  // system time it was last seen, seconds
  bool operator==(const TSharedSerial&) const = default;
};

// The counters of ECRs 1..99; numbers outside are ignored.
class TLineStats {
 public:
  void Count(int ecr, TLineCount e) {
    if (ecr < 1 || ecr > MAX_ECR_COUNT) return;
    auto& c = FEcr[static_cast<std::size_t>(ecr)];
    c[static_cast<std::size_t>(e)].fetch_add(1, std::memory_order_relaxed);
    if (e == TLineCount::TakeAnswered) Answered(ecr);
  }
  void Answered(int ecr) {
    if (ecr < 1 || ecr > MAX_ECR_COUNT) return;
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    FLast[static_cast<std::size_t>(ecr)].store(now.count(), std::memory_order_relaxed);
  }
  // Serial answered for the ECRs; merged with what was seen of it before. The most
  // recent MAX_SHARED serial numbers are kept.
  void SharedSerial(std::int32_t serial, const std::vector<int>& ecrs);
  // Intact frames found waiting before a take: no take asked for them.
  void CountOutsideTake() { FOutsideTake.fetch_add(1, std::memory_order_relaxed); }
  std::uint64_t OutsideTake() const { return FOutsideTake.load(std::memory_order_relaxed); }
  std::vector<TSharedSerial> SharedSerials() const {
    const std::lock_guard lock(FSharedMu);
    return FShared;
  }
  TLineCounters Of(int ecr) const {
    TLineCounters out;
    if (ecr < 1 || ecr > MAX_ECR_COUNT) return out;
    const auto& c = FEcr[static_cast<std::size_t>(ecr)];
    for (const auto& n : LINE_COUNTS)
      out.*n.Field = c[static_cast<std::size_t>(n.Count)].load(std::memory_order_relaxed);
    out.LastAnswer = FLast[static_cast<std::size_t>(ecr)].load(std::memory_order_relaxed);
    return out;
  }

 private:
  static constexpr std::size_t EVENTS = LINE_COUNTS.size();
  static constexpr std::size_t MAX_SHARED = 8;
  std::array<std::array<std::atomic<std::uint64_t>, EVENTS>, MAX_ECR_COUNT + 1> FEcr{};
  std::array<std::atomic<std::int64_t>, MAX_ECR_COUNT + 1> FLast{};
  std::atomic<std::uint64_t> FOutsideTake{0};
  mutable std::mutex FSharedMu;
  std::vector<TSharedSerial> FShared;  // most recently seen last
};

// "serial 777777 answers for ECR 2, 3, 4"
inline std::string SharedSerialText(std::int32_t serial, const std::vector<int>& ecrs) {
  std::string out = "serial " + std::to_string(serial) + " answers for ECR ";
  for (std::size_t i = 0; i < ecrs.size(); ++i) out += (i ? ", " : "") + std::to_string(ecrs[i]);
  return out;
}

inline void TLineStats::SharedSerial(std::int32_t serial, const std::vector<int>& ecrs) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  const std::lock_guard lock(FSharedMu);
  TSharedSerial seen{serial, {}, now.count()};
  const auto old = std::find_if(FShared.begin(), FShared.end(),
                                [&](const TSharedSerial& s) { return s.Serial == serial; });
  if (old != FShared.end()) {
    seen.Ecrs = std::move(old->Ecrs);
    FShared.erase(old);
  }
  for (const int ecr : ecrs)
    if (std::find(seen.Ecrs.begin(), seen.Ecrs.end(), ecr) == seen.Ecrs.end()) seen.Ecrs.push_back(ecr);
  std::sort(seen.Ecrs.begin(), seen.Ecrs.end());
  if (FShared.size() >= MAX_SHARED) FShared.erase(FShared.begin());
  FShared.push_back(std::move(seen));
}

}  // namespace kassiro
