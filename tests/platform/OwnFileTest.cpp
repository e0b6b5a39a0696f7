#include "platform/OwnFile.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "TempDir.h"
#include "platform/FileAccess.h"

namespace kassiro::platform {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class OwnFileTest : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(Elsewhere()) << "keep"; }
  fs::path Own() const { return dir_ / "own"; }
  // A file the program must never write: as a root-only file outside its folder.
  fs::path Elsewhere() const { return dir_ / "elsewhere"; }

  kassiro::testing::TempDir temp_;
  const fs::path dir_ = temp_.path();
};

// Whatever another user put at the name, nothing is followed, emptied, created or
// waited on, and the reason names what lies there.
TEST_F(OwnFileTest, ARegularFileOnlyIsTaken) {
  const struct {
    const char* name;
    std::function<void()> make;
    TOpenHow how;
    const char* problem;
  } cases[] = {
#ifdef _WIN32
      // Under Wine a Unix link is the file it leads to and mingw's std::filesystem makes
      // no links: a device by its reserved name stands for what is not a file.
      {"device NUL", [] {}, {.Access = TAccess::Write, .Create = true},
       "it is a character device, not a regular file"},
#else
      {"link to a file, write", [&] { fs::create_symlink(Elsewhere(), Own()); },
       {.Access = TAccess::Write, .Create = true, .Truncate = true}, "it is a symbolic link, not a regular file"},
      {"link to a file, read", [&] { fs::create_symlink(Elsewhere(), Own()); }, {},
       "it is a symbolic link, not a regular file"},
      {"dangling link", [&] { fs::create_symlink(dir_ / "made", Own()); }, {.Access = TAccess::ReadWrite, .Create = true},
       "it is a symbolic link, not a regular file"},
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", Own()); }, {},
       "it is a symbolic link, not a regular file"},
      {"FIFO, write", [&] { ASSERT_EQ(::mkfifo(Own().c_str(), 0600), 0); }, {.Access = TAccess::Write, .Create = true, .Append = true},
       "it is a FIFO, not a regular file"},
      {"FIFO, read", [&] { ASSERT_EQ(::mkfifo(Own().c_str(), 0600), 0); }, {},
       "it is a FIFO, not a regular file"},
#endif
      {"directory", [&] { fs::create_directory(Own()); }, {}, "Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Own());
    c.make();
    const fs::path at = std::string(c.name) == "device NUL" ? dir_ / "NUL" : Own();
    const TOwnFile f = OpenOwnFile(at, c.how);  // returns: never blocks
    EXPECT_FALSE(f.Valid());
    EXPECT_TRUE(f.Error());
    EXPECT_EQ(f.Problem(), c.problem);
    EXPECT_EQ(Read(Elsewhere()), "keep");
    EXPECT_FALSE(fs::exists(dir_ / "made"));
  }
}

TEST_F(OwnFileTest, CreatesOrOpensARegularFileThatBlocksAsUsual) {
  TOwnFile made = OpenOwnFile(
      Own(), {.Access = TAccess::ReadWrite, .Create = true, .CreatePerms = fs::perms(0600)});
  ASSERT_TRUE(made.Valid());
  EXPECT_TRUE(made.Created());
#ifndef _WIN32  // a POSIX file's mode, and the descriptor blocks again once taken
  EXPECT_EQ(fs::status(Own()).permissions() & fs::perms::all, fs::perms(0600));
  const int fd = static_cast<int>(TFileAccess::Native(made.File()));
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
#endif
  EXPECT_FALSE(made.File().WriteAll(std::string_view("abc")));

  const TOwnFile again = OpenOwnFile(Own(), {.Access = TAccess::ReadWrite, .Create = true});
  ASSERT_TRUE(again.Valid());
  EXPECT_FALSE(again.Created());
  EXPECT_EQ(Read(Own()), "abc");

  const TOwnFile emptied = OpenOwnFile(Own(), {.Access = TAccess::Write, .Create = true, .Truncate = true});
  ASSERT_TRUE(emptied.Valid());
  EXPECT_EQ(Read(Own()), "");

  const TOwnFile missing = OpenOwnFile(dir_ / "none", {});
  EXPECT_FALSE(missing.Valid());
  EXPECT_EQ(missing.Error(), std::errc::no_such_file_or_directory);
}

// Windows tells it from the folder's access list, which Wine does not keep.
#ifndef _WIN32
TEST_F(OwnFileTest, AFolderOpenToOthersIsOneTheyMayWriteWithoutTheStickyBit) {
  const struct {
    mode_t mode;
    bool open;
  } cases[] = {{0700, false}, {0755, false}, {0775, true}, {0757, true}, {01777, false}, {0770, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(::chmod(dir_.c_str(), c.mode), 0);
    const auto mode = OpenToOthers(dir_);
    EXPECT_EQ(mode.has_value(), c.open);
    if (mode) {
      EXPECT_EQ(*mode, fs::perms(c.mode));
    }
  }
  ::chmod(dir_.c_str(), 0700);
  EXPECT_FALSE(OpenToOthers(dir_ / "missing"));
}
#endif

}  // namespace
}  // namespace kassiro::platform
