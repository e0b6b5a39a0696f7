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
  Millis Now() const override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  static TSteadyClock& Instance() {
    static TSteadyClock clock;
    return clock;
  }
};

}  // namespace kassiro
