// ecrsim and ecrscan as programs: spawned, talking to each other over the pseudo-terminal
// that ecrsim makes, and refusing bad arguments with a message and a non-zero exit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string BinDir = KASSIRO_BIN_DIR;
constexpr auto Deadline = 30s;  // generous: the machine may be busy

// A spawned program with its stdout and stderr on pipes. Killed if still running at the end.
class TChild {
 public:
  explicit TChild(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&FPid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    FOut = out[0];
    FErr = err[0];
    if (rc != 0) {
      FPid = -1;
      throw std::runtime_error("posix_spawn " + args[0]);
    }
  }
  ~TChild() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ::close(FOut);
    ::close(FErr);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  // The next line on stdout that matches, within the deadline.
  std::optional<std::smatch> WaitForLine(const std::regex& re) {
    const auto until = Clock::now() + Deadline;
    for (;;) {
      for (std::size_t nl; (nl = FOutBuf.find('\n')) != std::string::npos;) {
        FLine = FOutBuf.substr(0, nl);
        FOutBuf.erase(0, nl + 1);
        Out += FLine + '\n';
        std::smatch m;
        if (std::regex_search(FLine, m, re)) return m;
      }
      if (!Pump(until)) return std::nullopt;
    }
  }

  // Waits for the end, reading all output; the exit code, or nullopt on time-out or a signal.
  std::optional<int> Wait() {
    const auto until = Clock::now() + Deadline;
    while (Pump(until)) {
    }
    Out += FOutBuf;
    FOutBuf.clear();
    int status = 0;
    while (FPid > 0 && Clock::now() < until) {
      const pid_t r = ::waitpid(FPid, &status, WNOHANG);
      if (r == FPid) {
        FPid = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return std::nullopt;
      }
      ::poll(nullptr, 0, 10);
    }
    return std::nullopt;
  }

  void Signal(int sig) { ::kill(FPid, sig); }

  std::string Out;  // stdout read so far
  std::string Err;  // stderr read so far

 private:
  // Reads what is there on either pipe; false once both ended or the time is up.
  bool Pump(Clock::time_point until) {
    if (FOutDone && FErrDone) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p[2] = {{FOutDone ? -1 : FOut, POLLIN, 0}, {FErrDone ? -1 : FErr, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(left)) <= 0) return true;
    std::array<char, 4096> buf;
    if (p[0].revents) {
      const ssize_t n = ::read(FOut, buf.data(), buf.size());
      if (n <= 0) FOutDone = true;
      else FOutBuf.append(buf.data(), static_cast<std::size_t>(n));
    }
    if (p[1].revents) {
      const ssize_t n = ::read(FErr, buf.data(), buf.size());
      if (n <= 0) FErrDone = true;
      else Err.append(buf.data(), static_cast<std::size_t>(n));
    }
    return true;
  }

  pid_t FPid = -1;
  int FOut = -1, FErr = -1;
  bool FOutDone = false, FErrDone = false;
  std::string FOutBuf, FLine;
};

struct TResult {
  std::optional<int> Exit;
  std::string Out, Err;
};

TResult RunTool(std::vector<std::string> args) {
  TChild c(std::move(args));
  TResult r;
  r.Exit = c.Wait();
  r.Out = c.Out;
  r.Err = c.Err;
  return r;
}

std::string Ecrsim() { return BinDir + "/ecrsim"; }
std::string Ecrscan() { return BinDir + "/ecrscan"; }

// A simulator running until the test ends; Port/Path from its "line" line.
struct TSim {
  explicit TSim(std::vector<std::string> args) : Child([&] {
    args.insert(args.begin(), Ecrsim());
    return args;
  }()) {
    const auto m = Child.WaitForLine(std::regex(R"(^ecrsim: line (\S+) \((\S+)\)$)"));
    if (!m) throw std::runtime_error("ecrsim did not report its line: " + Child.Err);
    Port = (*m)[1];
    Path = (*m)[2];
  }
  TChild Child;
  std::string Port, Path;
};

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kassiro-tools-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    FPath = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  std::string Write(const std::string& name, const std::string& text) const {
    const auto p = FPath / name;
    std::ofstream(p) << text;
    return p.string();
  }
  std::string File(const std::string& name) const { return (FPath / name).string(); }

 private:
  std::filesystem::path FPath;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Tools, EcrscanFindsExactlyTheSimulatedEcrs) {
  TempDir dir;
  const auto script = dir.Write("shop.sim", "ecr 12 serial 555\nonline \"{serial};{block};0;A;B;\"\n");
  TSim sim({"--script", script, "--ecr", "3", "--ecr", "7:123456"});
  EXPECT_EQ(sim.Path, "/dev/" + sim.Port);
  EXPECT_NE(sim.Child.Out.find("ecrsim: ECR 12 serial 555\necrsim: ECR 3 serial 004703\n"), std::string::npos)
      << sim.Child.Out;

  const TResult scan = RunTool({Ecrscan(), sim.Port, "9600", "1-15"});
  EXPECT_EQ(scan.Exit, 0) << scan.Err;
  EXPECT_EQ(scan.Out,
            "ECR 03 in-line serial 004703\n"
            "ECR 07 in-line serial 123456\n"
            "ECR 12 on-line serial 555\n"
            "ecrscan: 3 ECR(s) answered on " + sim.Port + "\n");
  EXPECT_EQ(scan.Err, "");

  // The full device path works as well.
  const TResult again = RunTool({Ecrscan(), sim.Path, "1200", "3-3"});
  EXPECT_EQ(again.Exit, 0) << again.Err;
  EXPECT_EQ(again.Out, "ECR 03 in-line serial 004703\necrscan: 1 ECR(s) answered on " + sim.Path + "\n");

  // The simulator logged what it heard, and stops cleanly on SIGTERM.
  ASSERT_TRUE(sim.Child.WaitForLine(std::regex(R"(\] take 15$)")));
  sim.Child.Signal(SIGTERM);
  EXPECT_EQ(sim.Child.Wait(), 0);
  EXPECT_NE(sim.Child.Out.find("] take 03\n"), std::string::npos);
  EXPECT_NE(sim.Child.Out.find("] -> 12 frame 555;0;0;A;B;\n"), std::string::npos);
  EXPECT_NE(sim.Child.Out.find("] release\n"), std::string::npos);
  EXPECT_TRUE(sim.Child.Out.ends_with("ecrsim: stopped\n")) << sim.Child.Out;
}

TEST(Tools, FaultsFromTheCommandLinePacingAndLogFile) {
  TempDir dir;
  const auto log = dir.File("sim.log");
  TSim sim({"--ecr", "3", "--ecr", "4", "--fault", "4:silent", "--fault", "3:badcrc:1", "--speed", "1200",
            "--pace", "--log", log});
  const TResult scan = RunTool({Ecrscan(), sim.Port, "1200", "1-5"});
  EXPECT_EQ(scan.Exit, 0) << scan.Err;
  EXPECT_EQ(scan.Out, "ECR 03 in-line serial 004703\necrscan: 1 ECR(s) answered on " + sim.Port + "\n");
  sim.Child.Signal(SIGINT);
  EXPECT_EQ(sim.Child.Wait(), 0);
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find("] -> 03 frame 004703; bad crc\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] NAK\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] -> 04 (silent)\n"), std::string::npos) << text;
  EXPECT_EQ(sim.Child.Out.find("take"), std::string::npos) << "the log went to the file";
}

TEST(Tools, BadArgumentsGiveAMessageAndANonZeroExit) {
  TempDir dir;
  const auto bad = dir.Write("bad.sim", "ecr 3\nonlin \"x\"\n");
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
      {{Ecrsim(), "--script", dir.File("none.sim")}, "none.sim: cannot read the script file"},
      {{Ecrsim(), "--ecr", "3", "--device", "/dev/kassiro-no-such-port"},
       "ecrsim: Unable to open port /dev/kassiro-no-such-port!"},
      {{Ecrsim(), "--ecr", "3", "--log", dir.File("no/such/dir/sim.log")}, "ecrsim: cannot write the log file"},
  };
  for (const auto& c : cases) {
    const TResult r = RunTool(c.args);
    std::string cmd;
    for (const auto& a : c.args) cmd += a + " ";
    ASSERT_TRUE(r.Exit.has_value()) << cmd << " did not end";
    EXPECT_NE(*r.Exit, 0) << cmd;
    EXPECT_NE(r.Err.find(c.error), std::string::npos) << cmd << "\nstderr: " << r.Err;
    EXPECT_EQ(r.Out.find("ecrsim: line"), std::string::npos) << cmd;
  }
}

}  // namespace
