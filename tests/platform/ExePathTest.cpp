#include "platform/ExePath.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kassiro::platform {
namespace {

// The test program's own file: the programs find their settings beside it this way.
TEST(ExePath, IsTheRunningProgramsFile) {
  const std::filesystem::path p = ExecutablePath();
  ASSERT_TRUE(p.is_absolute()) << p;
  EXPECT_EQ(p.stem(), "test_platform");  // test_platform.exe on Windows
  EXPECT_TRUE(std::filesystem::is_regular_file(p));
}

}  // namespace
}  // namespace kassiro::platform
