#pragma once
// Random bytes from the system's generator, for keys that must not be guessed.
//
// A second platform provides RandomBytes from its own generator (BCryptGenRandom on
// Windows).

#include <cstdint>
#include <span>

namespace kassiro::platform {

// Fills bytes; never fails (when the system's generator does, std::random_device fills
// the rest).
void RandomBytes(std::span<std::uint8_t> bytes);

}  // namespace kassiro::platform
