// ecrsim and ecrscan as programs: spawned, talking to each other over the pseudo-terminal
// that ecrsim makes, and refusing bad arguments with a message and a non-zero exit.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "Process.h"
#include "Programs.h"
#include "TempDir.h"

namespace {

using namespace kassiro::testing;

const std::string BinDir = KASSIRO_BIN_DIR;

std::string Ecrsim() { return BinDir + "/ecrsim"; }
std::string Ecrscan() { return BinDir + "/ecrscan"; }

// A simulator running until the test ends; Port/Path from its "line" line.
struct TSim : TEcrsim {
  explicit TSim(std::vector<std::string> args) : TEcrsim(StartEcrsim([&] {
    args.insert(args.begin(), Ecrsim());
    return args;
  }())) {}
};

// A script file in dir; its path.
std::string WriteScript(const TempDir& dir, const std::string& name, const std::string& text) {
  WriteFile(dir / name, text);
  return (dir / name).string();
}

TEST(Tools, EcrscanFindsExactlyTheSimulatedEcrs) {
  TempDir dir;
  const auto script = WriteScript(dir, "shop.sim", "ecr 12 serial 555\nonline \"{serial};{block};0;A;B;\"\n");
  TSim sim({"--script", script, "--ecr", "3", "--ecr", "7:123456"});
  EXPECT_EQ(sim.Path, "/dev/" + sim.Port);
  EXPECT_NE(sim.Child->Out.find("ecrsim: ECR 12 serial 555\necrsim: ECR 3 serial 004703\n"), std::string::npos)
      << sim.Child->Out;

  const TRunResult scan = RunProgram({Ecrscan(), sim.Port, "9600", "1-15"});
  EXPECT_EQ(scan.Exit, 0) << scan.Err;
  EXPECT_EQ(scan.Out,
            "ECR 03 in-line serial 004703\n"
            "ECR 07 in-line serial 123456\n"
            "ECR 12 on-line serial 555\n"
            "ecrscan: 3 ECR(s) answered on " + sim.Port + "\n");
  EXPECT_EQ(scan.Err, "");

  // The full device path works as well.
  const TRunResult again = RunProgram({Ecrscan(), sim.Path, "1200", "3-3"});
  EXPECT_EQ(again.Exit, 0) << again.Err;
  EXPECT_EQ(again.Out, "ECR 03 in-line serial 004703\necrscan: 1 ECR(s) answered on " + sim.Path + "\n");

  // The simulator logged what it heard, and stops cleanly on SIGTERM.
  ASSERT_TRUE(sim.Child->WaitForLine(std::regex(R"(\] take 15$)")));
  sim.Child->Signal(SIGTERM);
  EXPECT_EQ(sim.Child->Wait(), 0);
  EXPECT_NE(sim.Child->Out.find("] take 03\n"), std::string::npos);
  EXPECT_NE(sim.Child->Out.find("] -> 12 frame 555;0;0;A;B;\n"), std::string::npos);
  EXPECT_NE(sim.Child->Out.find("] release\n"), std::string::npos);
  EXPECT_TRUE(sim.Child->Out.ends_with("ecrsim: stopped\n")) << sim.Child->Out;
}

TEST(Tools, FaultsFromTheCommandLinePacingAndLogFile) {
  TempDir dir;
  const auto log = (dir / "sim.log").string();
  TSim sim({"--ecr", "3", "--ecr", "4", "--fault", "4:silent", "--fault", "3:badcrc:1", "--speed", "1200",
            "--pace", "--log", log});
  const TRunResult scan = RunProgram({Ecrscan(), sim.Port, "1200", "1-5"});
  EXPECT_EQ(scan.Exit, 0) << scan.Err;
  EXPECT_EQ(scan.Out, "ECR 03 in-line serial 004703\necrscan: 1 ECR(s) answered on " + sim.Port + "\n");
  sim.Child->Signal(SIGINT);
  EXPECT_EQ(sim.Child->Wait(), 0);
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find("] -> 03 frame 004703; bad crc\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] NAK\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] -> 04 (silent)\n"), std::string::npos) << text;
  EXPECT_EQ(sim.Child->Out.find("take"), std::string::npos) << "the log went to the file";
}

// Waits until a file holds a line matching re; its text then, or "" after the deadline.
std::string WaitForFileLine(const std::filesystem::path& path, const std::regex& re) {
  std::string text;
  const auto holds = [&] {
    text = std::filesystem::exists(path) ? ReadFile(path) : "";
    return std::regex_search(text, re);
  };
  return WaitUntil(holds, TChild::DefaultDeadline, std::chrono::milliseconds(20)) ? text : "";
}

TEST(Tools, CountsOnSignalAndAtExitJournalAndSeed) {
  TempDir dir;
  const auto script = WriteScript(dir, "shop.sim", "ecr 3\nonline \"{serial};{block};0;{seq};\"\necr 4\n");
  const auto counts = dir / "counts";
  const auto journal = dir / "journal";
  TSim sim({"--script", script, "--counts", counts.string(), "--journal", journal.string(),
            "--fault-rate", "0.5", "--seed", "7"});
  EXPECT_NE(sim.Child->Out.find("ecrsim: random faults 0.5 % seed 7\n"), std::string::npos) << sim.Child->Out;
  const TRunResult scan = RunProgram({Ecrscan(), sim.Port, "9600", "3-4"});
  EXPECT_EQ(scan.Exit, 0) << scan.Err;
  EXPECT_FALSE(std::filesystem::exists(counts)) << "written only when asked";

  sim.Child->Signal(SIGUSR1);
  const std::string first = WaitForFileLine(counts, std::regex("\ntotal takes="));
  EXPECT_NE(first.find("ecr 3 takes=1 silent=0 inline=0 online_sent=1 online_taken=1 "), std::string::npos)
      << first;
  EXPECT_NE(first.find("ecr 4 takes=1 silent=0 inline=1 online_sent=0 "), std::string::npos) << first;
  EXPECT_TRUE(sim.Child->Running()) << "SIGUSR1 does not stop it";

  const TRunResult again = RunProgram({Ecrscan(), sim.Port, "9600", "4-4"});
  EXPECT_EQ(again.Exit, 0) << again.Err;
  sim.Child->Signal(SIGTERM);
  EXPECT_EQ(sim.Child->Wait(), 0);
  EXPECT_NE(ReadFile(counts).find("ecr 4 takes=2 "), std::string::npos) << "rewritten at exit";
  EXPECT_TRUE(std::regex_search(ReadFile(journal), std::regex(R"(^\d+ 3 004703;0;0;1;\n$)")))
      << ReadFile(journal);
}

TEST(Tools, BadArgumentsGiveAMessageAndANonZeroExit) {
  TempDir dir;
  const auto bad = WriteScript(dir, "bad.sim", "ecr 3\nonlin \"x\"\n");
  struct TCase {
    std::vector<std::string> args;
    std::string error;
  };
  const TCase cases[] = {
      {{Ecrscan(), "pts/0", "1234"}, "ecrscan: speed '1234' is not one of 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400"},
      {{Ecrscan(), "pts/0", "fast"}, "ecrscan: speed 'fast' is not one of"},
      {{Ecrscan(), "pts/0", "9600", "50-10"}, "ecrscan: range '50-10' is not FROM-TO"},
      {{Ecrscan(), "/dev/kassiro-no-such-port", "9600"}, "ecrscan: Unable to open port /dev/kassiro-no-such-port!"},
      {{Ecrscan()}, "PORT is required"},
      {{Ecrsim()}, "ecrsim: no ECR to simulate (give --ecr N or --script FILE)"},
      {{Ecrsim(), "--ecr", "100"}, "ecrsim: --ecr 100: expected N or N:SERIAL with N 1..99"},
      {{Ecrsim(), "--ecr", "3", "--ecr", "3"}, "ecrsim: --ecr 3: ECR 3 is given twice"},
      {{Ecrsim(), "--ecr", "3:12345678"}, "ecrsim: --ecr 3:12345678: the serial number must be 1 to 6 digits"},
      {{Ecrsim(), "--ecr", "3", "--speed", "1234"}, "ecrsim: speed 1234 is not one of 1200"},
      {{Ecrsim(), "--ecr", "3", "--fault", "9:silent"}, "ecrsim: --fault 9:silent: ECR 9 is not simulated"},
      {{Ecrsim(), "--ecr", "3", "--fault", "3:loud"}, "ecrsim: --fault 3:loud: expected ECR:KIND[:N]"},
      {{Ecrsim(), "--script", bad}, "bad.sim:2: unknown directive 'onlin'"},
      {{Ecrsim(), "--script", (dir / "none.sim").string()}, "none.sim: cannot read the script file"},
      {{Ecrsim(), "--ecr", "3", "--device", "/dev/kassiro-no-such-port"},
       "ecrsim: Unable to open port /dev/kassiro-no-such-port!"},
      {{Ecrsim(), "--ecr", "3", "--log", (dir / "no/such/dir/sim.log").string()}, "ecrsim: cannot write the log file"},
      {{Ecrsim(), "--ecr", "3", "--fault-rate", "150"}, "--fault-rate: Value 150 not in range"},
      {{Ecrsim(), "--ecr", "3", "--journal", (dir / "no/such/dir/j").string()}, "ecrsim: cannot write the journal file"},
  };
  for (const auto& c : cases) {
    const TRunResult r = RunProgram(c.args);
    std::string cmd;
    for (const auto& a : c.args) cmd += a + " ";
    ASSERT_TRUE(r.Exit.has_value()) << cmd << " did not end";
    EXPECT_NE(*r.Exit, 0) << cmd;
    EXPECT_NE(r.Err.find(c.error), std::string::npos) << cmd << "\nstderr: " << r.Err;
    EXPECT_EQ(r.Out.find("ecrsim: line"), std::string::npos) << cmd;
  }
}

}  // namespace
