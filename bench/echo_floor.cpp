// echo_floor: the least a TCP server on this machine can do with the clients' framing.
// A bare Asio server on one thread that sends every length-prefixed frame it receives
// straight back. Run tcp_load against it to see what loopback, the kernel and the load
// generator cost before any server logic; compare the server's own figures with these.
//
//   echo_floor [PORT]      (0 or nothing: a free port; prints "listening on PORT")
//
// Ends on SIGINT or SIGTERM.
#include <asio.hpp>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using asio::ip::tcp;

// One client: the bytes of an unfinished frame, and the frames to echo, in two buffers
// swapped when a write completes, as in the real server.
class TEchoSession : public std::enable_shared_from_this<TEchoSession> {
 public:
  explicit TEchoSession(tcp::socket s) : socket_(std::move(s)) {}

  void Start() { Read(); }

 private:
  void Read() {
    socket_.async_read_some(asio::buffer(buf_),
                            [self = shared_from_this()](std::error_code ec, std::size_t n) {
                              if (!ec) self->Received(n);
                            });
  }

  void Received(std::size_t n) {
    partial_.insert(partial_.end(), buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
    std::size_t used = 0;
    while (used < partial_.size() && used + 1 + partial_[used] <= partial_.size()) {
      const auto frame = partial_.begin() + static_cast<std::ptrdiff_t>(used);
      pending_.insert(pending_.end(), frame, frame + 1 + *frame);
      used += 1 + partial_[used];
    }
    partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(used));
    if (!writing_ && !pending_.empty()) Write();
    Read();
  }

  void Write() {
    writing_ = true;
    inFlight_.swap(pending_);
    asio::async_write(socket_, asio::buffer(inFlight_),
                      [self = shared_from_this()](std::error_code ec, std::size_t) {
                        self->writing_ = false;
                        self->inFlight_.clear();
                        if (!ec && !self->pending_.empty()) self->Write();
                      });
  }

  tcp::socket socket_;
  std::array<std::uint8_t, 512> buf_{};
  std::vector<std::uint8_t> partial_, pending_, inFlight_;
  bool writing_ = false;
};

void Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept([&acceptor](std::error_code ec, tcp::socket s) {
    if (!acceptor.is_open()) return;
    if (!ec) {
      s.set_option(tcp::no_delay(true), ec);
      std::make_shared<TEchoSession>(std::move(s))->Start();
    }
    Accept(acceptor);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const auto port = static_cast<unsigned short>(argc > 1 ? std::atoi(argv[1]) : 0);
  try {
    asio::io_context io(1);
    tcp::acceptor acceptor(io);
    acceptor.open(tcp::v4());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    acceptor.listen(asio::socket_base::max_listen_connections);
    std::printf("listening on %u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
    std::fflush(stdout);
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](std::error_code, int) { io.stop(); });
    Accept(acceptor);
    io.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "echo_floor: %s\n", e.what());
    return 1;
  }
  return 0;
}
