// Waits between attempts to connect: the first after about `min`, each next one twice as
// long, never more than `max`; a success starts again from `min`. Each wait is drawn at
// random between half and all of its step, so that the bridges of many shops that lost
// the same broker at once do not all come back in the same instant.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>

namespace kassiro::bridge {

class TBackoff {
 public:
  TBackoff(std::chrono::milliseconds min, std::chrono::milliseconds max, std::uint64_t seed = std::random_device{}())
      : FMin(min), FMax(max), FStep(min), FRandom(seed) {}

  std::chrono::milliseconds Next() {
    const auto step = FStep;
    FStep = std::min(FMax, FStep * 2);
    std::uniform_int_distribution<std::chrono::milliseconds::rep> draw(step.count() - step.count() / 2, step.count());
    return std::chrono::milliseconds(draw(FRandom));
  }
  void Reset() { FStep = FMin; }

 private:
  std::chrono::milliseconds FMin, FMax, FStep;
  std::mt19937_64 FRandom;
};

}  // namespace kassiro::bridge
