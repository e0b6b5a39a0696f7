// kassiro as a program, on Qt's offscreen platform: one copy per installation, the close
// by a stop signal as at a desktop logout, and a remote quit with a wrong password.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "Process.h"
#include "Pty.h"
#include "TempDir.h"

namespace kassiro::testing {
namespace {

namespace fs = std::filesystem;

struct ProgramTest : ::testing::Test {
  TempDir dir;
  TPty pty;
  fs::path exe = dir / "kassiro";

  void SetUp() override {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    fs::create_directory(dir / "xdg");
    fs::permissions(dir / "xdg", fs::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (dir / "xdg").c_str(), 1);
    fs::copy_file(fs::path(KASSIRO_BIN_DIR) / "kassiro", exe);
    const auto r = RunProgram({fs::path(KASSIRO_BIN_DIR) / "write_settings", exe.string(),
                               pty.SlaveName(), "38400", "0", "admin", "pw"});
    ASSERT_EQ(r.Exit, 0) << r.Err;
  }
  std::string Log() { return ReadFile(dir / "kassiro.log"); }
};

TEST_F(ProgramTest, ASecondCopyEndsSilentlyAndAStopSignalClosesTheFirst) {
  if (pty.SlaveName().size() > 6) GTEST_SKIP() << "pseudo-terminal name too long for the settings";
  TChild first({exe.string()});
  ASSERT_TRUE(first.WaitForLine(std::regex("started on"))) << first.Err;
  const std::string logBefore = Log();

  const auto second = RunProgram({exe.string()});
  EXPECT_EQ(second.Exit, 0);
  EXPECT_EQ(second.Out, "");
  EXPECT_EQ(Log(), logBefore);  // no line of its own

  const auto wrong = RunProgram({exe.string(), "-Q:nope"});
  EXPECT_EQ(wrong.Exit, 1);
  EXPECT_EQ(wrong.Err, "kassiro: wrong password: the running copy goes on.\n");
  EXPECT_TRUE(first.Running());

  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_NE(Log().find("closed by user."), std::string::npos) << Log();
}

TEST_F(ProgramTest, ARemoteQuitWithThePasswordClosesIt) {
  if (pty.SlaveName().size() > 6) GTEST_SKIP() << "pseudo-terminal name too long for the settings";
  TChild first({exe.string()});
  ASSERT_TRUE(first.WaitForLine(std::regex("started on"))) << first.Err;
  EXPECT_EQ(RunProgram({exe.string(), "-Q:admin"}).Exit, 0);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_NE(Log().find("closed by user."), std::string::npos);
}

// Installed under a prefix (here a scratch root), the program finds its guide in the
// documentation folder; beside the program in the build tree it finds that one first.
TEST(Program, HelpNamesTheGuideItShows) {
  TempDir root;
  const fs::path bin = root / "usr/bin";
  fs::create_directories(bin);
  fs::copy_file(fs::path(KASSIRO_BIN_DIR) / "kassiro", bin / "kassiro");
  const auto missing = RunProgram({(bin / "kassiro").string(), "--help"});
  EXPECT_EQ(missing.Exit, 0);
  EXPECT_NE(missing.Out.find("\nOperator's guide: " + (bin / "kassiro.md").string() + " (missing)\n"),
            std::string::npos)
      << missing.Out;

  const fs::path doc = root / "usr/share/doc/kassiro-tray";
  fs::create_directories(doc);
  std::ofstream(doc / "operator.md") << "# Kassiro\n";
  const auto installed = RunProgram({(bin / "kassiro").string(), "--help"});
  EXPECT_NE(installed.Out.find("\nOperator's guide: " + (doc / "operator.md").string() + "\n"), std::string::npos)
      << installed.Out;

  const auto built = RunProgram({(fs::path(KASSIRO_BIN_DIR) / "kassiro").string(), "--help"});
  EXPECT_NE(built.Out.find("\nOperator's guide: " + (fs::path(KASSIRO_BIN_DIR) / "kassiro.md").string() + "\n"),
            std::string::npos)
      << built.Out;
  const auto version = RunProgram({(bin / "kassiro").string(), "--version"});
  EXPECT_EQ(version.Exit, 0);
  EXPECT_EQ(version.Out, "kassiro 0.1.0.0\n");
}

}  // namespace
}  // namespace kassiro::testing
