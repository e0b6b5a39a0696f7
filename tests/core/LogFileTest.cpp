#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "core/LogFile.h"

namespace kassiro {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

constexpr TLogTime kMarch5{2026, 3, 5, 7, 8, 9};
const std::string kStamp = " 5.03.2026 07:08:09";
const std::string kPrefix = kStamp + " Srv: ";

TLogClock FixedClock(TLogTime t = kMarch5) {
  return [t] { return t; };
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (std::size_t e; (e = text.find("\r\n", pos)) != std::string::npos; pos = e + 2) {
    lines.push_back(text.substr(pos, e - pos));
  }
  EXPECT_EQ(pos, text.size()) << "text after the last CR LF";
  return lines;
}

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "w<digit> <number>" or "w<digit> n<number>": one writer's line, whole.
bool IsWriterText(std::string_view s) {
  if (s.size() < 4 || s[0] != 'w' || !AllDigits(s.substr(1, 1)) || s[2] != ' ') return false;
  s.remove_prefix(3);
  if (s.starts_with('n')) s.remove_prefix(1);
  return AllDigits(s);
}

// A time stamp as " 5.03.2026 07:08:09" or "15.03.2026 07:08:09".
bool IsTimeStamp(std::string_view s) {
  return s.size() == 19 && (s[0] == ' ' || AllDigits(s.substr(0, 1))) &&
         AllDigits(s.substr(1, 1)) && s[2] == '.' && AllDigits(s.substr(3, 2)) && s[5] == '.' &&
         AllDigits(s.substr(6, 4)) && s[10] == ' ' && AllDigits(s.substr(11, 2)) && s[13] == ':' &&
         AllDigits(s.substr(14, 2)) && s[16] == ':' && AllDigits(s.substr(17, 2));
}

// ---- formatting ----

TEST(LogFormat, TimeStamp) {
  const struct {
    TLogTime t;
    const char* want;
  } cases[] = {
      {{2026, 3, 5, 7, 8, 9}, " 5.03.2026 07:08:09"},
      {{2026, 3, 15, 7, 8, 9}, "15.03.2026 07:08:09"},
      {{2026, 12, 8, 20, 4, 1}, " 8.12.2026 20:04:01"},
      {{2026, 1, 31, 0, 0, 0}, "31.01.2026 00:00:00"},
      {{2027, 12, 1, 23, 59, 59}, " 1.12.2027 23:59:59"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatLogTime(c.t), c.want);
    EXPECT_EQ(FormatLogTime(c.t).size(), 19u);
  }
}

TEST(LogFormat, HeaderAndFileNameFromExecutable) {
  const struct {
    const char* exe;
    const char* header;
    const char* log;
  } cases[] = {
      {"/opt/k/Srv.exe", " Srv: ", "/opt/k/Srv.log"},
      {"/opt/k/a.b", " a: ", "/opt/k/a.log"},
      {"/opt/k/a.b.exe", " a: ", "/opt/k/a.b.log"},
      {"/opt/k/kassirod", " kassirod: ", "/opt/k/kassirod.log"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LogHeaderFor(c.exe), c.header) << c.exe;
    const TLogFile log(c.exe, FixedClock());
    EXPECT_EQ(log.FileName(), fs::path(c.log)) << c.exe;
  }
}

namespace logtest {
struct EPortGone : std::runtime_error {
  using std::runtime_error::runtime_error;
};
}  // namespace logtest

TEST(LogFormat, ExceptionClassNameDropsNamespaces) {
  EXPECT_EQ(ExceptionClassName(logtest::EPortGone("x")), "EPortGone");
  EXPECT_EQ(ExceptionClassName(std::runtime_error("x")), "runtime_error");
  EXPECT_EQ(ExceptionClassName(std::out_of_range("x")), "out_of_range");
}

// ---- one log in a temporary directory ----

// A full disk is shown with POSIX's file size limit, which Windows lacks.
#ifndef _WIN32
// While it lives, no file of this process may grow beyond a number of bytes: writes past
// it fail with EFBIG, as on a full disk (SIGXFSZ ignored).
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &FOld);
    FOldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = FOld;
    lim.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &FOld);
    ::signal(SIGXFSZ, FOldHandler);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

 private:
  rlimit FOld{};
  sighandler_t FOldHandler;
};

#endif
class LogFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path exe = dir / "Srv.exe";
  fs::path logName = dir / "Srv.log";
  fs::path bakName = dir / "Srv.LO0";

  std::size_t FilesInDir() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), {}));
  }
};

TEST_F(LogFileTest, WritesStampHeaderTextAndCrLfAppendingToExistingFile) {
  WriteFile(logName, "earlier\r\n");
  TLogFile log(exe, FixedClock());
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  EXPECT_TRUE(log.Opened());
  EXPECT_EQ(log.LogAddLine("hello"), logError::leNone);
  EXPECT_EQ(log.LogAddLine(""), logError::leNone);  // an empty text still gets stamp and header
  EXPECT_EQ(log.LogAddLine("two\r\nlines"), logError::leNone);
  EXPECT_EQ(ReadFile(logName), "earlier\r\n" + kPrefix + "hello\r\n" + kPrefix + "\r\n" + kPrefix +
                                   "two\r\nlines\r\n");
  EXPECT_EQ(log.LogClose(), logError::leNone);
  EXPECT_FALSE(log.Opened());
}

TEST_F(LogFileTest, ExceptionEntryIsThreeLines) {
  TLogFile log(exe, FixedClock());
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  EXPECT_EQ(log.LogAddExceptionLine("Execute", logtest::EPortGone("port gone"), ""),
            logError::leNone);
  EXPECT_EQ(log.LogAddExceptionLine("Run", std::runtime_error("bad"), "tail"), logError::leNone);
  const auto lines = SplitCrLf(ReadFile(logName));
  const std::vector<std::string> want = {
      kPrefix + "EXCEPTION in Execute - EPortGone:", "port gone", "",
      kPrefix + "EXCEPTION in Run - runtime_error:", "bad",       "tail"};
  EXPECT_EQ(lines, want);
}

TEST_F(LogFileTest, OpenCloseAndWriteInTheWrongStateAreRefused) {
  TLogFile log(exe, FixedClock());
  EXPECT_EQ(log.LogAddLine("lost"), logError::leNotOpen);
  EXPECT_EQ(log.LogClose(), logError::leNotOpen);
  EXPECT_FALSE(fs::exists(logName));

  ASSERT_EQ(log.LogOpen(), logError::leNone);
  EXPECT_EQ(log.LogOpen(), logError::leAlreadyOpen);
  EXPECT_EQ(log.LogAddLine("still open"), logError::leNone);
  EXPECT_EQ(log.LogClose(), logError::leNone);
  EXPECT_EQ(log.LogClose(), logError::leNotOpen);
  EXPECT_EQ(log.LogAddLine("closed"), logError::leNotOpen);
  EXPECT_EQ(ReadFile(logName), kPrefix + "still open\r\n");
}

TEST_F(LogFileTest, OpenFailuresLeaveTheLogClosed) {
  // A missing parent directory fails for every user, root included.
  TLogFile noDir(dir / "missing" / "Srv.exe", FixedClock());
  EXPECT_EQ(noDir.LogOpen(), logError::leOpen);
  EXPECT_FALSE(noDir.Opened());
  EXPECT_EQ(noDir.LogAddLine("x"), logError::leNotOpen);

  TLogFile noName("", FixedClock());
  EXPECT_EQ(noName.LogOpen(), logError::leIntern);
  EXPECT_FALSE(noName.Opened());
}

// Under Wine a Unix link is the file it leads to, there are no FIFOs, and mingw's
// std::filesystem makes no links.
#ifndef _WIN32
// Another user who may write into the folder made the log's name a link or a FIFO:
// nothing is written through it, nothing waits on it, and stderr names the file.
TEST_F(LogFileTest, ALinkOrFifoInPlaceOfTheLogIsRefused) {
  TempDir elsewhere;
  const fs::path target = elsewhere / "root-only";
  WriteFile(target, "keep\n");
  const struct {
    const char* name;
    std::function<void()> make;
    const char* kind;
  } cases[] = {
      {"link to a file", [&] { fs::create_symlink(target, logName); }, "a symbolic link"},
      {"dangling link", [&] { fs::create_symlink(elsewhere / "new", logName); }, "a symbolic link"},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(logName.c_str(), 0666), 0); }, "a FIFO"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(logName);
    c.make();
    TLogFile log(exe, FixedClock());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(log.LogOpen(), logError::leOpen);  // a FIFO without a reader would block here
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.LogAddLine("x"), logError::leNotOpen);
    EXPECT_EQ(err, "The log file " + logName.string() + " cannot be opened: it is " + c.kind +
                       ", not a regular file; the program runs without a log file.\n");
  }
  EXPECT_EQ(ReadFile(target), "keep\n");
  EXPECT_FALSE(fs::exists(elsewhere / "new"));
}
#endif

TEST_F(LogFileTest, ModeSetFiltersLines) {
  TLogFile log(exe, FixedClock());
  log.LogModes = LogModeBit(TLogMode::lmError);
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  EXPECT_EQ(log.LogAddLine("debug", LogModeBit(TLogMode::lmDebug)), logError::leLogMode);
  EXPECT_EQ(
      log.LogAddLine("err+trace", LogModeBit(TLogMode::lmError) | LogModeBit(TLogMode::lmTrace)),
      logError::leNone);
  EXPECT_EQ(log.LogAddLine("always"), logError::leNone);  // an empty mode set is always written
  log.LogModes = 0;
  EXPECT_EQ(log.LogAddLine("error", LogModeBit(TLogMode::lmError)), logError::leLogMode);
  EXPECT_EQ(ReadFile(logName), kPrefix + "err+trace\r\n" + kPrefix + "always\r\n");
}

TEST_F(LogFileTest, RotatesBeforeTheFirstLineAfterReachingTheThreshold) {
  WriteFile(bakName, "an older generation\r\n");
  TLogFile log(exe, FixedClock());
  log.lMaxLogSize = 100;
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  // Each line is 25 + 10 + 2 = 37 bytes: three lines reach 111 >= 100.
  std::string firstThree;
  for (const char* text : {"line 0001.", "line 0002.", "line 0003."}) {
    ASSERT_EQ(log.LogAddLine(text), logError::leNone);
    firstThree += kPrefix + text + "\r\n";
  }
  EXPECT_EQ(ReadFile(bakName), "an older generation\r\n");  // nothing rotated yet
  ASSERT_EQ(log.LogAddLine("line 0004."), logError::leNone);
  EXPECT_EQ(ReadFile(bakName), firstThree);
  EXPECT_EQ(ReadFile(logName), kPrefix + "line 0004.\r\n");
  EXPECT_TRUE(log.Opened());

  for (int i = 0; i < 20; ++i) ASSERT_EQ(log.LogAddLine("more lines"), logError::leNone);
  EXPECT_EQ(FilesInDir(), 2u);
  EXPECT_LE(fs::file_size(logName), 100u + 37u);
}

// A non-empty directory, or a folder without write access, keeps the old log from being
// moved aside: the log is emptied in place and says so, and stays bounded however many
// lines follow.
TEST_F(LogFileTest, ALogThatCannotBeMovedAsideIsEmptiedAndStaysBounded) {
  fs::create_directory(bakName);
  WriteFile(bakName / "keep", "x");
  TLogFile log(exe, FixedClock());
  log.lMaxLogSize = 200;
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(log.LogAddLine("line of some length"), logError::leNone);
  EXPECT_LE(fs::file_size(logName), 200u + 200u);
  const std::string text = ReadFile(logName);
  EXPECT_EQ(text.rfind(kPrefix + "The log could not be moved aside to " + bakName.string() + " (", 0), 0u)
      << text;
  EXPECT_NE(text.find("); it was emptied to keep its size.\r\n"), std::string::npos) << text;
  EXPECT_EQ(ReadFile(bakName / "keep"), "x") << "what is in the way stays";
}

TEST_F(LogFileTest, BigLogPresentAtStartIsRotatedByTheFirstLine) {
  WriteFile(logName, "");
  fs::resize_file(logName, DEFMAXLOGSZ);
  TLogFile log(exe, FixedClock());
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  ASSERT_EQ(log.LogAddLine("first"), logError::leNone);
  EXPECT_EQ(fs::file_size(bakName), static_cast<std::uintmax_t>(DEFMAXLOGSZ));
  EXPECT_EQ(ReadFile(logName), kPrefix + "first\r\n");
}

TEST_F(LogFileTest, LogJustBelowTheThresholdIsAppendedTo) {
  WriteFile(logName, "");
  fs::resize_file(logName, DEFMAXLOGSZ - 1);
  TLogFile log(exe, FixedClock());
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  ASSERT_EQ(log.LogAddLine("first"), logError::leNone);
  EXPECT_FALSE(fs::exists(bakName));
  EXPECT_EQ(fs::file_size(logName), DEFMAXLOGSZ - 1 + kPrefix.size() + 7);
}

// A full disk is shown with POSIX's file size limit, which Windows lacks.
#ifndef _WIN32
TEST_F(LogFileTest, FailedWriteIsReportedAndNotCounted) {
  std::ofstream(logName) << "0123456789";
  TLogFile log(exe, FixedClock());
  log.lMaxLogSize = 20;  // one counted line would make the next one rotate
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  {
    // Every write fails as on a full disk: no file may grow past its 10 bytes.
    const TFileSizeLimit limit(10);
    EXPECT_EQ(log.LogAddLine("lost 1"), logError::leWrite);
    EXPECT_EQ(log.LogAddLine("lost 2"), logError::leWrite);
  }
  EXPECT_FALSE(fs::exists(bakName)) << "a failed line was counted";
  EXPECT_TRUE(log.Opened());
}
#endif

TEST_F(LogFileTest, LinesFromSeveralThreadsComeOutWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  TLogFile log(exe, FixedClock());
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) {
        log.LogAddLine("writer " + std::to_string(t) + " line " + std::to_string(i));
      }
    });
  }
  for (auto& w : writers) w.join();

  std::set<std::string> seen;
  for (const auto& line : SplitCrLf(ReadFile(logName))) {
    ASSERT_TRUE(line.starts_with(kPrefix + "writer ")) << line;
    EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

TEST_F(LogFileTest, RotationUnderConcurrentWritersKeepsLinesWhole) {
  TLogFile log(exe, FixedClock());
  log.lMaxLogSize = 4000;
  ASSERT_EQ(log.LogOpen(), logError::leNone);
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&log, t] {
      for (int i = 0; i < 400; ++i)
        log.LogAddLine("w" + std::to_string(t) + " " + std::to_string(i));
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(FilesInDir(), 2u);
  for (const auto& f : {logName, bakName}) {
    for (const auto& line : SplitCrLf(ReadFile(f))) {
      EXPECT_TRUE(line.starts_with(kPrefix) && IsWriterText(line.substr(kPrefix.size()))) << line;
    }
  }
}

// ---- the program's log ----

TEST(ProgramLogTest, RebindingWhileThreadsWriteLosesNoLine) {
  TempDir dir;
  const fs::path a = dir / "Alpha.exe";
  const fs::path b = dir / "Beta.exe";
  ASSERT_EQ(BindProgramLog(a), logError::leNone);
  EXPECT_EQ(ProgramLog().FileName(), dir / "Alpha.log");

  constexpr int kThreads = 3;
  constexpr int kLines = 300;
  std::atomic<int> finished = 0;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &finished] {
      for (int i = 0; i < kLines; ++i) {
        EXPECT_EQ(LogAddLine("w" + std::to_string(t) + " n" + std::to_string(i)), logError::leNone);
      }
      ++finished;
    });
  }
  for (int r = 0; finished < kThreads; ++r) {
    EXPECT_EQ(BindProgramLog(r % 2 == 0 ? b : a), logError::leNone);
    std::this_thread::yield();
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(LogAddExceptionLine("Test", std::runtime_error("boom"), ""), logError::leNone);
  ProgramLog().LogClose();

  std::set<std::string> seen;
  for (const auto& [file, name] :
       {std::pair{"Alpha.log", "Alpha"}, std::pair{"Beta.log", "Beta"}}) {
    const std::string header = std::string(" ") + name + ": ";
    for (const auto& line : SplitCrLf(ReadFile(dir / file))) {
      if (line == "boom" || line.empty()) continue;  // the exception entry's second and third line
      ASSERT_TRUE(IsTimeStamp(line.substr(0, 19))) << line;
      const std::string text = line.substr(19);
      ASSERT_TRUE(text.starts_with(header)) << line;
      const std::string rest = text.substr(header.size());
      if (rest == "EXCEPTION in Test - runtime_error:") continue;
      ASSERT_TRUE(IsWriterText(rest)) << line;
      seen.insert(rest);
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace kassiro
