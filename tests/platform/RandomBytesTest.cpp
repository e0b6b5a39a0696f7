#include "platform/RandomBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace kassiro::platform {
namespace {

// Every byte is drawn, also behind the first few hundred that one system call may give.
TEST(RandomBytes, FillsTheWholeBufferAnewEachTime) {
  std::array<std::uint8_t, 4096> a{}, b{};
  RandomBytes(a);
  RandomBytes(b);
  EXPECT_NE(a, b);
  for (const auto& buf : {a, b}) {
    // 256 bytes at the end all zero: odds 2^-2048 for a random source.
    EXPECT_FALSE(std::all_of(buf.end() - 256, buf.end(), [](std::uint8_t x) { return x == 0; }));
  }
}

}  // namespace
}  // namespace kassiro::platform
