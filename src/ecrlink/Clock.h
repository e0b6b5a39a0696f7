// The millisecond clock of the ECR link. Production uses the steady clock (no wrap);
// tests inject a clock that they move by hand.
#pragma once

#include <chrono>
#include <cstdint>

namespace kassiro {

using Millis = std::int64_t;  // milliseconds on a monotonic time line

class TClock {
 public:
  virtual ~TClock() = default;
  virtual Millis Now() const = 0;
};

class TSteadyClock final : public TClock {
 public:
  Millis Now() const override { return Read(); }
  // The same time without an instance: for the devices, which always wait on it.
  static Millis Read() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  static TSteadyClock& Instance() {
    static TSteadyClock clock;
    return clock;
  }
};

// Milliseconds left until deadline on the steady clock, 0 once it has passed: a wait's
// timeout.
inline int MillisLeft(Millis deadline) {
  const Millis left = deadline - TSteadyClock::Read();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace kassiro
