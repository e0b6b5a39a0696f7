// Waits between attempts to connect: the first after `min`, each next one twice as long,
// never more than `max`; a success starts again from `min`.
#pragma once

#include <algorithm>
#include <chrono>

namespace kassiro::bridge {

class TBackoff {
 public:
  TBackoff(std::chrono::milliseconds min, std::chrono::milliseconds max) : FMin(min), FMax(max), FNext(min) {}

  std::chrono::milliseconds Next() {
    const auto wait = FNext;
    FNext = std::min(FMax, FNext * 2);
    return wait;
  }
  void Reset() { FNext = FMin; }

 private:
  std::chrono::milliseconds FMin, FMax, FNext;
};

}  // namespace kassiro::bridge
