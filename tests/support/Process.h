// A program spawned by a test: stdin on /dev/null, stdout and stderr on pipes that the
// test reads line by line or to the end, every wait bounded by a generous deadline.
// A program still running when the object goes is killed and reaped.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace kassiro::testing {

class TChild {
 public:
  using Clock = std::chrono::steady_clock;
  // Generous: the machine may be busy; every wait ends as soon as its event has come.
  static constexpr std::chrono::milliseconds DefaultDeadline{30000};

  // args[0] is the program's path.
  explicit TChild(std::vector<std::string> args, std::chrono::milliseconds deadline = DefaultDeadline)
      : FDeadline(deadline) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    if (::pipe2(err, O_CLOEXEC) != 0) {
      CloseBoth(out);
      throw std::runtime_error("pipe2");
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&FPid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    FOut = out[0];
    FErr = err[0];
    if (rc != 0) {
      FPid = -1;
      ::close(FOut);
      ::close(FErr);
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

  pid_t Pid() const { return FPid; }

  // The next line on stdout that matches, within the deadline; the lines passed over
  // are kept in Out as well.
  std::optional<std::smatch> WaitForLine(const std::regex& re) {
    const auto until = Clock::now() + FDeadline;
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

  // Waits for the end, reading all output; the exit code, or nullopt on time-out or
  // an end by a signal.
  std::optional<int> Wait() {
    const auto until = Clock::now() + FDeadline;
    while (Pump(until)) {
    }
    Out += FOutBuf;
    FOutBuf.clear();
    while (FPid > 0 && Clock::now() < until) {
      if (Reap()) break;
      ::poll(nullptr, 0, 10);
    }
    if (FPid > 0 || !FStatus || !WIFEXITED(*FStatus)) return std::nullopt;
    return WEXITSTATUS(*FStatus);
  }

  // True while the program has not ended; does not wait.
  bool Running() { return FPid > 0 && !Reap(); }

  void Signal(int sig) {
    if (FPid > 0) ::kill(FPid, sig);
  }

  std::string Out;  // stdout read so far
  std::string Err;  // stderr read so far

 private:
  static void CloseBoth(int fds[2]) {
    ::close(fds[0]);
    ::close(fds[1]);
  }

  // Collects the exit status if the program has ended; true then.
  bool Reap() {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) != FPid) return false;
    FPid = -1;
    FStatus = status;
    return true;
  }

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

  std::chrono::milliseconds FDeadline;
  pid_t FPid = -1;
  std::optional<int> FStatus;  // the raw wait status once reaped
  int FOut = -1, FErr = -1;
  bool FOutDone = false, FErrDone = false;
  std::string FOutBuf, FLine;
};

// Runs a program to its end: its exit code (nullopt on time-out or a signal) and output.
struct TRunResult {
  std::optional<int> Exit;
  std::string Out, Err;
};

inline TRunResult RunProgram(std::vector<std::string> args) {
  TChild c(std::move(args));
  TRunResult r;
  r.Exit = c.Wait();
  r.Out = c.Out;
  r.Err = c.Err;
  return r;
}

}  // namespace kassiro::testing
