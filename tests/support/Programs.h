// The system's programs as the tests start them: ecrsim on a pseudo-terminal of its own,
// kassirod once it printed its start line, a free loopback port for a program to take,
// and a wait for an event with a generous deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Process.h"

namespace kassiro::testing {

// The caption of the programs' windows, which starts kassirod's start line and status.
inline const std::string Title = "Kassiro v0.1.0.0 - DEBUG";

// Checks pred every `step` until it holds (true) or the deadline passes (false).
template <class TPred>
bool WaitUntil(TPred pred, std::chrono::milliseconds deadline = TChild::DefaultDeadline,
               std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
  const auto until = TChild::Clock::now() + deadline;
  while (!pred()) {
    if (TChild::Clock::now() > until) return false;
    ::poll(nullptr, 0, static_cast<int>(step.count()));
  }
  return true;
}

// A TCP port on loopback that nobody listens on right now.
inline std::uint16_t FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  if (fd >= 0) ::close(fd);
  if (!bound) throw std::runtime_error("no free TCP port");
  return ntohs(a.sin_port);
}

// ecrsim running on a pseudo-terminal it made: Port is the line's name ("pts/3"), Path
// its device.
struct TEcrsim {
  std::unique_ptr<TChild> Child;
  std::string Port, Path;
};

// Starts ecrsim (args[0] is its path) and waits until it names its line.
inline TEcrsim StartEcrsim(std::vector<std::string> args) {
  TEcrsim sim{std::make_unique<TChild>(std::move(args)), {}, {}};
  const auto m = sim.Child->WaitForLine(std::regex(R"(^ecrsim: line (\S+) \((\S+)\)$)"));
  if (!m) throw std::runtime_error("ecrsim did not report its line: " + sim.Child->Err);
  sim.Port = (*m)[1];
  sim.Path = (*m)[2];
  return sim;
}

// ecrsim (at exe) playing the given ECRs with their own serials, its line log in log.
inline TEcrsim StartEcrsim(const std::filesystem::path& exe, const std::filesystem::path& log,
                           const std::vector<int>& ecrs) {
  std::vector<std::string> args{exe.string(), "--log", log.string()};
  for (const int e : ecrs) args.insert(args.end(), {"--ecr", std::to_string(e)});
  return StartEcrsim(std::move(args));
}

// kassirod running: the serial port it started on, and the TCP port clients connect on.
struct TKassirod {
  std::unique_ptr<TChild> Child;
  std::string Port;
  std::uint16_t TcpPort{};
};

// Starts kassirod (args[0] is its path) and waits for its start line on stdout.
inline TKassirod StartKassirod(std::vector<std::string> args) {
  TKassirod server{std::make_unique<TChild>(std::move(args)), {}, {}};
  const auto m = server.Child->WaitForLine(
      std::regex("^" + Title + R"( started on (\S+)\. Clients connect on TCP port (\d+)\.$)"));
  if (!m) throw std::runtime_error("kassirod did not start: " + server.Child->Out + server.Child->Err);
  server.Port = (*m)[1];
  server.TcpPort = static_cast<std::uint16_t>(std::stoi((*m)[2]));
  return server;
}

}  // namespace kassiro::testing
