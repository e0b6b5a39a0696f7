// The bridge's client connection over real loopback sockets, and the wake event beside it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/TcpClient.h"
#include "platform/WakeEvent.h"

namespace kassiro::platform {
namespace {

using namespace std::chrono_literals;

// A listening socket on a free loopback port.
class TListener {
 public:
  TListener() : FFd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(FFd, 4) != 0 ||
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error("no listener");
    }
    FPort = ntohs(a.sin_port);
  }
  ~TListener() { ::close(FFd); }
  std::uint16_t Port() const { return FPort; }
  int Accept() { return ::accept(FFd, nullptr, nullptr); }

 private:
  int FFd;
  std::uint16_t FPort = 0;
};

TEST(WakeEvent, ASetBeforeTheWaitIsKeptUntilCleared) {
  TWakeEvent wake;
  EXPECT_FALSE(wake.Wait(0ms));
  wake.Set();
  EXPECT_TRUE(wake.Wait(0ms));
  EXPECT_TRUE(wake.Wait(0ms)) << "a wait does not clear it";
  wake.Clear();
  EXPECT_FALSE(wake.Wait(0ms));
  std::thread setter([&] { wake.Set(); });
  EXPECT_TRUE(wake.Wait(10s));
  setter.join();
}

TEST(TcpClient, SendsReceivesAndSeesTheClose) {
  TListener listener;
  TWakeEvent wake;
  auto connected = TTcpClient::Connect("127.0.0.1", listener.Port(), 10s, wake);
  ASSERT_TRUE(connected.Client) << connected.Error;
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  const std::string big(1 << 20, 'b');  // more than the socket buffers hold at once
  std::thread reader([peer, &big] {
    std::string got;
    std::array<char, 65536> buf{};
    while (got.size() < big.size()) {
      const ssize_t n = ::recv(peer, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      got.append(buf.data(), static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got.size(), big.size());
  });
  EXPECT_FALSE(connected.Client->SendAll(big));
  reader.join();

  std::array<char, 16> into{};
  TTcpRead r = connected.Client->Receive(into, 50ms, wake);
  EXPECT_EQ(r.Bytes, 0u);
  EXPECT_FALSE(r.Closed || r.Woken || r.Error) << "nothing came: the time ran out";
  ASSERT_EQ(::send(peer, "hello", 5, 0), 5);
  r = connected.Client->Receive(into, 10s, wake);
  EXPECT_EQ(std::string(into.data(), r.Bytes), "hello");
  ::close(peer);
  r = connected.Client->Receive(into, 10s, wake);
  EXPECT_TRUE(r.Closed);
}

TEST(TcpClient, TheWakeEventEndsAReceive) {
  TListener listener;
  TWakeEvent wake;
  auto connected = TTcpClient::Connect("localhost", listener.Port(), 10s, wake);
  ASSERT_TRUE(connected.Client) << connected.Error;
  const int peer = listener.Accept();
  std::thread setter([&] { wake.Set(); });
  std::array<char, 16> into{};
  const TTcpRead r = connected.Client->Receive(into, 60s, wake);
  setter.join();
  EXPECT_TRUE(r.Woken);
  EXPECT_EQ(r.Bytes, 0u);
  ::close(peer);
}

TEST(TcpClient, SaysWhyAPortTakesNoConnection) {
  TWakeEvent wake;
  std::uint16_t closedPort = 0;
  {
    TListener gone;
    closedPort = gone.Port();
  }
  auto refused = TTcpClient::Connect("127.0.0.1", closedPort, 10s, wake);
  EXPECT_FALSE(refused.Client);
  EXPECT_TRUE(refused.Found);
  EXPECT_EQ(refused.Error, std::strerror(ECONNREFUSED));
}

}  // namespace
}  // namespace kassiro::platform
