#include "util/OwnFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace kassiro {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class OwnFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "ownfile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    std::ofstream(Elsewhere()) << "keep";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path Own() const { return dir_ / "own"; }
  // A file the program must never write: as a root-only file outside its folder.
  fs::path Elsewhere() const { return dir_ / "elsewhere"; }

  fs::path dir_;
};

// Whatever another user put at the name, nothing is followed, emptied, created or
// waited on, and the reason names what lies there.
TEST_F(OwnFileTest, ARegularFileOnlyIsTaken) {
  const struct {
    const char* name;
    std::function<void()> make;
    int flags;
    const char* problem;
  } cases[] = {
      {"link to a file, write", [&] { fs::create_symlink(Elsewhere(), Own()); },
       O_WRONLY | O_CREAT | O_TRUNC, "it is a symbolic link, not a regular file"},
      {"link to a file, read", [&] { fs::create_symlink(Elsewhere(), Own()); }, O_RDONLY,
       "it is a symbolic link, not a regular file"},
      {"dangling link", [&] { fs::create_symlink(dir_ / "made", Own()); }, O_RDWR | O_CREAT,
       "it is a symbolic link, not a regular file"},
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", Own()); }, O_RDONLY,
       "it is a symbolic link, not a regular file"},
      {"FIFO, write", [&] { ASSERT_EQ(::mkfifo(Own().c_str(), 0600), 0); }, O_WRONLY | O_APPEND | O_CREAT,
       "it is a FIFO, not a regular file"},
      {"FIFO, read", [&] { ASSERT_EQ(::mkfifo(Own().c_str(), 0600), 0); }, O_RDONLY,
       "it is a FIFO, not a regular file"},
      {"directory", [&] { fs::create_directory(Own()); }, O_RDONLY, "Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Own());
    c.make();
    const TOwnFile f = OpenOwnFile(Own(), c.flags | O_CLOEXEC);  // returns: never blocks
    EXPECT_FALSE(f.Valid());
    EXPECT_NE(f.Errno(), 0);
    EXPECT_EQ(f.Problem(), c.problem);
    EXPECT_EQ(Read(Elsewhere()), "keep");
    EXPECT_FALSE(fs::exists(dir_ / "made"));
  }
}

TEST_F(OwnFileTest, CreatesOrOpensARegularFileThatBlocksAsUsual) {
  TOwnFile made = OpenOwnFile(Own(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_TRUE(made.Valid());
  EXPECT_TRUE(made.Created());
  EXPECT_EQ(::fcntl(made.Get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(::write(made.Get(), "abc", 3), 3);

  const TOwnFile again = OpenOwnFile(Own(), O_RDWR | O_CREAT | O_CLOEXEC);
  ASSERT_TRUE(again.Valid());
  EXPECT_FALSE(again.Created());
  EXPECT_EQ(Read(Own()), "abc");

  const TOwnFile emptied = OpenOwnFile(Own(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
  ASSERT_TRUE(emptied.Valid());
  EXPECT_EQ(Read(Own()), "");

  const TOwnFile missing = OpenOwnFile(dir_ / "none", O_RDONLY | O_CLOEXEC);
  EXPECT_FALSE(missing.Valid());
  EXPECT_EQ(missing.Errno(), ENOENT);
}

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
      EXPECT_EQ(*mode, c.mode);
    }
  }
  ::chmod(dir_.c_str(), 0700);
  EXPECT_FALSE(OpenToOthers(dir_ / "missing"));
}

}  // namespace
}  // namespace kassiro
