#include "platform/File.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "Wine.h"
#include "platform/LockedFile.h"

namespace kassiro::platform {
namespace {

namespace fs = std::filesystem;
using kassiro::testing::ReadFile;
using kassiro::testing::TempDir;
using kassiro::testing::WriteFile;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n) {
  Bytes r(n);
  for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return r;
}

std::string Text(const Bytes& b) { return {b.begin(), b.end()}; }

TFile Open(const fs::path& p) {
  TLockedFile f = TLockedFile::Open(p);
  EXPECT_TRUE(f.Held()) << f.Problem();
  return std::move(f.File());
}

TEST(File, WritesReadsAndTellsItsSizeAtAnyOffset) {
  TempDir dir;
  TFile f = Open(dir / "f");
  EXPECT_EQ(f.Size(), 0u);
  const Bytes all = Pattern(70000);  // more than one pipe or page buffer
  ASSERT_FALSE(f.WriteAll(all));
  ASSERT_FALSE(f.WriteAllAt(10, Bytes{1, 2, 3}));
  ASSERT_FALSE(f.FlushToDisk());
  EXPECT_EQ(f.Size(), all.size());

  Bytes expected = all;
  std::copy_n(Bytes{1, 2, 3}.begin(), 3, expected.begin() + 10);
  EXPECT_EQ(ReadFile(dir / "f"), Text(expected));

  Bytes back(5);
  TIoResult r = f.ReadAt(9, back);
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.bytes, 5u);
  EXPECT_EQ(back, (Bytes{expected[9], 1, 2, 3, expected[13]}));
  // Reading over the end stops there without an error.
  Bytes tail(10);
  r = f.ReadAt(all.size() - 4, tail);
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.bytes, 4u);

  ASSERT_FALSE(f.Truncate(3));
  EXPECT_EQ(f.Size(), 3u);
  EXPECT_EQ(ReadFile(dir / "f"), Text(Bytes(expected.begin(), expected.begin() + 3)));
}

TEST(File, AClosedOrEmptyHandleRefusesEverything) {
  TempDir dir;
  TFile f = Open(dir / "f");
  f.Close();
  EXPECT_FALSE(f.Valid());
  TFile none;
  for (TFile* h : {&f, &none}) {
    EXPECT_EQ(h->WriteAll(std::string_view("x")), std::errc::bad_file_descriptor);
    EXPECT_EQ(h->FlushToDisk(), std::errc::bad_file_descriptor);
    Bytes b(1);
    EXPECT_EQ(h->Read(b).error, std::errc::bad_file_descriptor);
    EXPECT_EQ(h->Size(), std::nullopt);
    EXPECT_FALSE(h->IsAt(dir / "f"));
  }
}

// A full disk is shown with POSIX's file size limit, which Windows lacks.
#ifndef _WIN32
// A file size limit makes the system store only part of a write and refuse the next
// one: write-all goes on after the short write and reports the refusal, never success.
// In a child, since the limit holds for the whole process. Exit status: 0 as expected.
int WriteOverLimitInChild(const fs::path& p) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);  // the refusal as EFBIG rather than a signal
    const rlimit limit{100, RLIM_INFINITY};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    TFile f = std::move(TLockedFile::Open(p).File());
    const std::error_code over = f.WriteAll(Pattern(300));
    if (over != std::errc::file_too_large) ::_exit(1);
    if (f.Size() != 100u) ::_exit(2);
    // Within the limit the same handle writes on.
    if (f.WriteAllAt(0, Pattern(50))) ::_exit(3);
    ::_exit(0);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(File, AShortWriteIsFollowedUntilTheSystemRefuses) {
  TempDir dir;
  EXPECT_EQ(WriteOverLimitInChild(dir / "f"), 0);
  EXPECT_EQ(ReadFile(dir / "f"), Text(Pattern(100)));
}

#endif

TEST(File, IsAtTellsWhetherTheNameStillLeadsToTheHeldFile) {
  TempDir dir;
  const fs::path p = dir / "f";
  TFile f = Open(p);
  EXPECT_TRUE(f.IsAt(p));
  EXPECT_FALSE(f.IsAt(dir / "other"));

#ifndef _WIN32  // mingw's std::filesystem makes no links
  fs::create_symlink(p, dir / "link");
  EXPECT_FALSE(f.IsAt(dir / "link"));  // a link is never the file itself
#endif

  fs::rename(p, dir / "moved");
  EXPECT_FALSE(f.IsAt(p));
  EXPECT_TRUE(f.IsAt(dir / "moved"));

  WriteFile(p, "another");
  EXPECT_FALSE(f.IsAt(p));

  fs::remove(dir / "moved");
  // Wine keeps a removed name until the last handle closes, and says nothing of it.
  if (!kassiro::testing::UnderWine()) {
    EXPECT_FALSE(f.IsAt(dir / "moved"));
  }
}

// Unlike a file of the program's own, any other file is opened through a link; a
// duplicate handle outlives the first and flushes the same file.
TEST(File, OpenFileFollowsLinksAndADuplicateOutlivesTheFirstHandle) {
  TempDir dir;
  fs::create_directory(dir / "spool");
#ifdef _WIN32  // mingw's std::filesystem makes no links: the file by its own name
  const fs::path link = dir / "spool" / "1.seg";
#else
  const fs::path link = dir / "link";
  fs::create_symlink(dir / "spool" / "1.seg", link);
#endif
  std::error_code error;
  TFile writer = OpenFile(link, {.Access = TAccess::Write, .Create = true, .Append = true,
                                 .CreatePerms = fs::perms(0600)}, error);
  ASSERT_TRUE(writer.Valid()) << error.message();
  EXPECT_FALSE(error);
  EXPECT_TRUE(writer.Regular());
#ifndef _WIN32  // a POSIX file's mode
  EXPECT_EQ(fs::status(dir / "spool" / "1.seg").permissions() & fs::perms::all, fs::perms(0600));
#endif
  ASSERT_FALSE(writer.WriteAll(std::string_view("one ")));

  TFile copy = writer.Duplicate();
  ASSERT_TRUE(copy.Valid());
  EXPECT_FALSE(writer.Close());
  ASSERT_FALSE(copy.WriteAll(std::string_view("two")));  // appends, as the first did
  EXPECT_FALSE(copy.FlushToDisk());
  EXPECT_FALSE(FlushFolder(dir / "spool"));
  EXPECT_EQ(ReadFile(dir / "spool" / "1.seg"), "one two");

  EXPECT_FALSE(copy.Unlinked());
  fs::remove(dir / "spool" / "1.seg");
  // Wine keeps a removed name until the last handle closes, and says nothing of it.
  if (!kassiro::testing::UnderWine()) {
    EXPECT_TRUE(copy.Unlinked());
  }

  const TFile none = OpenFile(dir / "spool" / "2.seg", {}, error);
  EXPECT_FALSE(none.Valid());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(FlushFolder(dir / "nowhere"), std::errc::no_such_file_or_directory);

#ifndef _WIN32  // Windows opens a folder as a file only when asked for its metadata
  const TFile folder = OpenFile(dir / "spool", {}, error);
  EXPECT_TRUE(folder.Valid());
  EXPECT_FALSE(folder.Regular());
#endif

  WriteFile(dir / "conf", "x");
  EXPECT_TRUE(MayRead(dir / "conf"));
  EXPECT_FALSE(MayRead(dir / "absent"));
}

}  // namespace
}  // namespace kassiro::platform
