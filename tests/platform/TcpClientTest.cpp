// The bridge's client connection over real loopback sockets, and the wake event beside it.
#include <gtest/gtest.h>

#include <asio.hpp>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/TcpClient.h"
#include "platform/WakeEvent.h"

namespace kassiro::platform {
namespace {

using namespace std::chrono_literals;

using asio::ip::tcp;

// A listening socket on a free loopback port (Asio's, so the test runs on every system).
class TListener {
 public:
  std::uint16_t Port() const { return FAcceptor.local_endpoint().port(); }
  tcp::socket Accept() { return FAcceptor.accept(); }

 private:
  asio::io_context FIo;
  tcp::acceptor FAcceptor{FIo, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
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
  tcp::socket peer = listener.Accept();

  const std::string big(1 << 20, 'b');  // more than the socket buffers hold at once
  std::thread reader([&peer, &big] {
    std::string got;
    std::array<char, 65536> buf{};
    asio::error_code ec;
    while (got.size() < big.size()) {
      const std::size_t n = peer.read_some(asio::buffer(buf), ec);
      if (ec) break;
      got.append(buf.data(), n);
    }
    EXPECT_EQ(got.size(), big.size());
  });
  EXPECT_FALSE(connected.Client->SendAll(big));
  reader.join();

  std::array<char, 16> into{};
  TTcpRead r = connected.Client->Receive(into, 50ms, wake);
  EXPECT_EQ(r.Bytes, 0u);
  EXPECT_FALSE(r.Closed || r.Woken || r.Error) << "nothing came: the time ran out";
  ASSERT_EQ(asio::write(peer, asio::buffer(std::string_view("hello"))), 5u);
  r = connected.Client->Receive(into, 10s, wake);
  EXPECT_EQ(std::string(into.data(), r.Bytes), "hello");
  peer.close();
  r = connected.Client->Receive(into, 10s, wake);
  EXPECT_TRUE(r.Closed);
}

TEST(TcpClient, TheWakeEventEndsAReceive) {
  TListener listener;
  TWakeEvent wake;
  auto connected = TTcpClient::Connect("localhost", listener.Port(), 10s, wake);
  ASSERT_TRUE(connected.Client) << connected.Error;
  const tcp::socket peer = listener.Accept();
  std::thread setter([&] { wake.Set(); });
  std::array<char, 16> into{};
  const TTcpRead r = connected.Client->Receive(into, 60s, wake);
  setter.join();
  EXPECT_TRUE(r.Woken);
  EXPECT_EQ(r.Bytes, 0u);
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
#ifdef _WIN32  // the system's own text for WSAECONNREFUSED
  EXPECT_NE(refused.Error.find("refused"), std::string::npos) << refused.Error;
#else
  EXPECT_EQ(refused.Error, std::strerror(ECONNREFUSED));
#endif
}

}  // namespace
}  // namespace kassiro::platform
