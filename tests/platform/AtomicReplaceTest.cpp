#include "platform/AtomicReplace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "TempDir.h"

namespace kassiro::platform {
namespace {

namespace fs = std::filesystem;
using kassiro::testing::ReadFile;
using kassiro::testing::TempDir;
using kassiro::testing::WriteFile;

std::size_t FilesIn(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// A reader that looks while the file is replaced again and again sees the old content
// or the new one, whole: never an empty file, a mix or a missing name. (Windows refuses
// an open while the name is being replaced: there the reader tries again.)
TEST(AtomicReplace, AReaderSeesTheOldOrTheNewContentNeverAMix) {
  TempDir dir;
  const fs::path p = dir / "kassirod.INI";
  const std::string a(65536, 'a'), b(65536, 'b');
  WriteFile(p, a);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, seen{0};
  std::thread reader([&] {
    while (!done) {
      std::ifstream in(p, std::ios::binary);
#ifdef _WIN32
      if (!in) continue;
#endif
      const std::string now{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      if (now != a && now != b) ++bad;
      ++seen;
    }
  });
  for (int i = 0; i < 100; ++i) ASSERT_FALSE(ReplaceFileContent(p, i % 2 == 0 ? b : a));
  done = true;
  reader.join();
  EXPECT_EQ(bad, 0) << "of " << seen << " reads";
  EXPECT_EQ(ReadFile(p), a);
  EXPECT_EQ(FilesIn(dir.path()), 1u);  // no temporary file left behind
}

// Windows has no such permissions: a new file takes the access list of its folder.
#ifndef _WIN32
TEST(AtomicReplace, KeepsThePermissionsOrMakesANewFile) {
  TempDir dir;
  const fs::path p = dir / "own.INI";
  WriteFile(p, "old");
  fs::permissions(p, fs::perms(0600));
  ASSERT_FALSE(ReplaceFileContent(p, "new"));
  EXPECT_EQ(ReadFile(p), "new");
  EXPECT_EQ(fs::status(p).permissions() & fs::perms::all, fs::perms(0600));

  ASSERT_FALSE(ReplaceFileContent(dir / "fresh.INI", "made"));
  EXPECT_EQ(ReadFile(dir / "fresh.INI"), "made");
  EXPECT_EQ(fs::status(dir / "fresh.INI").permissions() & fs::perms::all, fs::perms(0644));
}
#endif

// A replace that cannot finish leaves what was there and no half-made file.
TEST(AtomicReplace, AFailureLeavesTheTargetAsItWas) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  WriteFile(dir / "folder" / "inside", "keep");
  EXPECT_TRUE(ReplaceFileContent(dir / "folder", "text"));  // a folder is not replaced
  EXPECT_EQ(ReadFile(dir / "folder" / "inside"), "keep");
  EXPECT_EQ(FilesIn(dir.path()), 1u);

  EXPECT_EQ(ReplaceFileContent(dir / "missing" / "f.INI", "text"), std::errc::no_such_file_or_directory);
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

}  // namespace
}  // namespace kassiro::platform
