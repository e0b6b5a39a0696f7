// A steady clock that runs slower than real time. A test that talks to a simulator over
// a real line gives it to the computer's side, so that the protocol's windows of some
// 100 ms become seconds of real time: a simulator thread that a loaded machine leaves
// waiting for the processor still answers in time. What the windows themselves do is
// tested over the in-memory port with a clock moved by hand.
#pragma once

#include <atomic>

#include "ecrlink/Clock.h"

namespace kassiro {

class SlowClock final : public TClock {
 public:
  explicit SlowClock(int slowdown) : slowdown_(slowdown) {}
  Millis Now() const override { return start_ + (TSteadyClock::Read() - start_) / slowdown_.load(); }
  // Before the clock's first use only: a change later makes its time jump.
  void SetSlowdown(int slowdown) { slowdown_.store(slowdown); }

 private:
  const Millis start_ = TSteadyClock::Read();
  std::atomic<int> slowdown_;
};

}  // namespace kassiro
