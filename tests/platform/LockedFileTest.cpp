#include "platform/LockedFile.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "TempDir.h"

namespace kassiro::platform {
namespace {

namespace fs = std::filesystem;
using kassiro::testing::ReadFile;
using kassiro::testing::TempDir;
using kassiro::testing::WriteFile;

#ifdef _WIN32
// Windows has no fork: a second kassirod.exe beside a running one ends silently in the
// end-to-end test under Wine. Here a second handle of this process stands for it.
int HoldInChild(const fs::path& p) {
  const TLockedFile f = TLockedFile::Open(p);
  return f.Held() ? 0 : f.Error() == std::errc::operation_would_block ? 1 : 2;
}
#else
// Exit status of a child that tries to hold the file: 0 held, 1 refused as locked.
int HoldInChild(const fs::path& p) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const TLockedFile f = TLockedFile::Open(p);
    ::_exit(f.Held() ? 0 : f.Error() == std::errc::operation_would_block ? 1 : 2);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
#endif

TEST(LockedFile, OneHolderAtATimeInThisProcessAndOthers) {
  TempDir dir;
  const fs::path p = dir / "s.STG";
  std::optional<TLockedFile> first = TLockedFile::Open(p, fs::perms(0600));
  ASSERT_TRUE(first->Held()) << first->Problem();
  EXPECT_TRUE(first->Created());
  EXPECT_FALSE(first->Error());
#ifndef _WIN32  // a POSIX file's mode
  EXPECT_EQ(fs::status(p).permissions() & fs::perms::all, fs::perms(0600));
#endif

  const TLockedFile second = TLockedFile::Open(p);
  EXPECT_FALSE(second.Held());
  EXPECT_EQ(second.Error(), std::errc::operation_would_block);
  EXPECT_EQ(second.Problem(), second.Error().message());
  EXPECT_EQ(HoldInChild(p), 1);

  first.reset();  // closing lets go
  const TLockedFile third = TLockedFile::Open(p);
  EXPECT_TRUE(third.Held());
  EXPECT_FALSE(third.Created());
  EXPECT_EQ(HoldInChild(p), 1);
}

TEST(LockedFile, TheLockEndsWithTheHandle) {
  TempDir dir;
  {
    TLockedFile f = TLockedFile::Open(dir / "f");
    ASSERT_TRUE(f.Held());
    f.File().Close();
    EXPECT_EQ(HoldInChild(dir / "f"), 0);
  }
  EXPECT_EQ(HoldInChild(dir / "f"), 0);
}

// Whatever lies at the name in place of a regular file is neither followed nor waited
// on, and the reason names it.
TEST(LockedFile, OnlyARegularFileIsTaken) {
  TempDir dir;
  const fs::path p = dir / "own";
  WriteFile(dir / "elsewhere", "keep");
  const struct {
    const char* name;
    std::function<void()> make;
    std::errc error;
    const char* problem;
  } cases[] = {
#ifdef _WIN32
      // Under Wine a Unix link is the file it leads to and mingw's std::filesystem makes
      // no links (OwnFileTest refuses a device instead). The system's own text for a
      // missing folder (Wine's differs from Windows').
      {"folder", [&] { fs::create_directory(p); }, std::errc::is_a_directory, "Is a directory"},
      {"missing folder", [&] { fs::create_directory(p); }, std::errc::no_such_file_or_directory, nullptr},
#else
      {"link to a file", [&] { fs::create_symlink(dir / "elsewhere", p); }, std::errc::too_many_symbolic_link_levels,
       "it is a symbolic link, not a regular file"},
      {"dangling link", [&] { fs::create_symlink(dir / "made", p); }, std::errc::too_many_symbolic_link_levels,
       "it is a symbolic link, not a regular file"},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, std::errc::invalid_argument,
       "it is a FIFO, not a regular file"},
      {"folder", [&] { fs::create_directory(p); }, std::errc::is_a_directory, "Is a directory"},
      {"missing folder", [&] { fs::create_directory(p); }, std::errc::no_such_file_or_directory,
       "No such file or directory"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.make();
    const fs::path at = std::string(c.name) == "missing folder" ? p / "none" / "f" : p;
    const TLockedFile f = TLockedFile::Open(at);  // returns: never blocks on the FIFO
    EXPECT_FALSE(f.Held());
    EXPECT_EQ(f.Error(), c.error);
    EXPECT_EQ(f.Problem(), c.problem != nullptr ? c.problem : f.Error().message());
    fs::remove_all(p);
  }
  EXPECT_EQ(ReadFile(dir / "elsewhere"), "keep");
  EXPECT_FALSE(fs::exists(dir / "made"));
}

}  // namespace
}  // namespace kassiro::platform
