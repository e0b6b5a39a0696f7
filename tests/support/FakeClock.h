// A clock that tests move by hand; safe to read and move from several threads.
#pragma once

#include <atomic>

#include "ecrlink/Clock.h"

namespace kassiro {

class FakeClock final : public TClock {
 public:
  explicit FakeClock(Millis start = 1'000'000) : now_(start) {}
  Millis Now() const override { return now_.load(); }
  void Set(Millis t) { now_.store(t); }
  void Advance(Millis d) { now_.fetch_add(d); }

 private:
  std::atomic<Millis> now_;
};

}  // namespace kassiro
