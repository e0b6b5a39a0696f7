// ecrbridge against a broker address that swallows the connection: the TCP handshake
// never completes, as behind a firewall that drops packets. The bridge gives the attempt
// up on its own timer and a stop ends it at once, whatever the kernel would still wait.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "Programs.h"
#include "TempDir.h"
#include "UniqueFd.h"

namespace {

namespace fs = std::filesystem;
using namespace kassiro::testing;
using kassiro::TUniqueFd;

// A listener that accepts nobody, its queue full: the kernel drops every further SYN.
class TBlackHole {
 public:
  TBlackHole() : FListener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(FListener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListener.get(), 0) != 0 ||
        ::getsockname(FListener.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("listen failed");
    Port = ntohs(a.sin_port);
    for (int i = 0; i < 2; ++i) {
      FFillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      ::connect(FFillers.back().get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
  }

  // Connections to it that wait for the handshake (SYN_SENT), as the kernel lists them.
  int Waiting() const {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    int n = 0;
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", Port);
    while (std::getline(tcp, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      n += remote.ends_with(port) && state == "02";
    }
    return n;
  }

  std::uint16_t Port = 0;

 private:
  TUniqueFd FListener;
  std::vector<TUniqueFd> FFillers;
};

TEST(BridgeStop, ABrokerThatSwallowsTheConnectionIsGivenUpAndAStopEndsTheBridgeAtOnce) {
  TempDir dir;
  TBlackHole broker;
  ASSERT_TRUE(WaitUntil([&] { return broker.Waiting() >= 1; })) << "the listener's queue is not full";
  const int fillers = broker.Waiting();
  TChild bridge({(fs::path(KASSIRO_BIN_DIR) / "ecrbridge").string(), "--shop", "s1", "--ecr", "3", "--server",
                 "127.0.0.1:" + std::to_string(FreeTcpPort()), "--broker",
                 "mqtt://127.0.0.1:" + std::to_string(broker.Port), "--spool-dir", (dir / "spool").string(),
                 "--retry-min", "50", "--retry-max", "100"},
                std::chrono::seconds(20));
  ASSERT_TRUE(bridge.WaitForLine(std::regex(" started: "))) << bridge.Out << bridge.Err;
  ASSERT_TRUE(WaitUntil([&] { return broker.Waiting() > fillers; })) << "the bridge never tried";

  // The CONNACK timer gives the attempt up, and the bridge tries again.
  ASSERT_TRUE(bridge.WaitForLine(std::regex("cannot connect to the broker 127\\.0\\.0\\.1:" +
                                            std::to_string(broker.Port) + ": the broker did not answer")))
      << bridge.Out;
  ASSERT_TRUE(WaitUntil([&] { return broker.Waiting() > fillers; }));

  // In the middle of an attempt that the kernel would go on with for two minutes.
  bridge.Signal(SIGTERM);
  EXPECT_EQ(bridge.Wait(), 0) << "still running: " << bridge.Out;
  EXPECT_NE(bridge.Out.find("stopped; 0 report(s) wait in the spool"), std::string::npos) << bridge.Out;
}

}  // namespace
