// tcp_load: load for a server that speaks the clients' framing (one length byte, then
// the message). Each of N clients connects, sends its set-up messages one at a time and
// waits for one answer to each, then sends the request message again and again, each
// time waiting for one answer frame. Prints one line: answered requests per second and
// the latency percentiles of the requests answered within the time given.
//
//   tcp_load HOST PORT CLIENTS SECONDS [HEXMSG...]
//
// HEXMSG is a message in hex without its length byte (e.g. 0501070000). The last one is
// the request; any before it are set-up messages. Without any, the request is the five
// bytes 01 02 03 04 05. Loopback hosts only. Runs on one thread.
#include <algorithm>
#include <asio.hpp>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using TFrame = std::vector<std::uint8_t>;

constexpr auto SETUP_LIMIT = std::chrono::seconds(30);

std::optional<TFrame> FrameFromHex(const std::string& hex) {
  if (hex.size() % 2 != 0 || hex.size() / 2 > 255) return std::nullopt;
  TFrame f{static_cast<std::uint8_t>(hex.size() / 2)};
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = hex.substr(i, 2);
    const long v = std::strtol(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) return std::nullopt;
    f.push_back(static_cast<std::uint8_t>(v));
  }
  return f;
}

class TClient;

// What all clients share: the messages, the clock of the run and the results.
struct TRun {
  asio::io_context Io{1};
  std::vector<TFrame> SetUp;
  TFrame Request;
  std::size_t Clients = 0;
  std::size_t Ready = 0;  // clients done with their set-up
  std::size_t Failed = 0;
  Clock::time_point Begin, End;
  bool Measuring = false;
  bool Over = false;
  std::vector<std::uint32_t> LatencyNs;
  std::vector<std::shared_ptr<TClient>> All;
};

class TClient : public std::enable_shared_from_this<TClient> {
 public:
  explicit TClient(TRun& R) : run_(R), socket_(R.Io) {}

  void Start(const tcp::endpoint& ep) {
    socket_.async_connect(ep, [self = shared_from_this()](std::error_code ec) {
      if (ec) return self->Fail();
      self->socket_.set_option(tcp::no_delay(true), ec);
      self->Next();
    });
  }

  // Sends the next set-up message or, after them, the request.
  void Next() {
    if (run_.Over || failed_) return;
    if (step_ == run_.SetUp.size() && !counted_) {
      counted_ = true;
      if (++run_.Ready + run_.Failed == run_.Clients) StartMeasuring();
      if (!run_.Measuring) return;  // the last client to get ready starts everybody
    }
    const TFrame& f = step_ < run_.SetUp.size() ? run_.SetUp[step_] : run_.Request;
    sent_ = Clock::now();
    asio::async_write(socket_, asio::buffer(f), [self = shared_from_this()](std::error_code ec, std::size_t) {
      if (ec) return self->Fail();
      self->ReadLength();
    });
  }

 private:
  void ReadLength() {
    asio::async_read(socket_, asio::buffer(answer_, 1),
                     [self = shared_from_this()](std::error_code ec, std::size_t) {
                       if (ec) return self->Fail();
                       self->ReadBody();
                     });
  }

  void ReadBody() {
    asio::async_read(socket_, asio::buffer(answer_.data() + 1, answer_[0]),
                     [self = shared_from_this()](std::error_code ec, std::size_t) {
                       if (ec) return self->Fail();
                       self->Answered();
                     });
  }

  void Answered() {
    if (step_ < run_.SetUp.size()) {
      ++step_;
    } else if (run_.Measuring) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sent_);
      run_.LatencyNs.push_back(static_cast<std::uint32_t>(std::min<std::int64_t>(ns.count(), UINT32_MAX)));
    }
    Next();
  }

  void Fail() {
    if (run_.Over || failed_) return;
    failed_ = true;
    ++run_.Failed;
    if (!counted_ && run_.Ready + run_.Failed == run_.Clients) StartMeasuring();
    counted_ = true;
  }

  void StartMeasuring();

  TRun& run_;
  tcp::socket socket_;
  std::array<std::uint8_t, 256> answer_{};
  std::size_t step_ = 0;
  bool counted_ = false;  // counted as ready or as failed
  bool failed_ = false;
  Clock::time_point sent_;
};

void TClient::StartMeasuring() {
  if (run_.Measuring) return;
  run_.Measuring = true;
  run_.Begin = Clock::now();
  for (auto& c : run_.All)
    if (c.get() != this && !c->failed_ && c->step_ == run_.SetUp.size())
      asio::post(run_.Io, [c] { c->Next(); });
}

std::uint32_t Percentile(std::vector<std::uint32_t>& v, double p) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

int Usage() {
  std::fprintf(stderr, "usage: tcp_load HOST PORT CLIENTS SECONDS [HEXMSG...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return Usage();
  TRun run;
  run.Clients = std::strtoul(argv[3], nullptr, 10);
  const double seconds = std::strtod(argv[4], nullptr);
  if (run.Clients == 0 || seconds <= 0) return Usage();
  for (int i = 5; i < argc; ++i) {
    auto f = FrameFromHex(argv[i]);
    if (!f) {
      std::fprintf(stderr, "tcp_load: not a message in hex: %s\n", argv[i]);
      return 2;
    }
    run.SetUp.push_back(std::move(*f));
  }
  if (run.SetUp.empty()) {
    run.Request = {5, 1, 2, 3, 4, 5};
  } else {
    run.Request = std::move(run.SetUp.back());
    run.SetUp.pop_back();
  }
  try {
    tcp::resolver resolver(run.Io);
    const tcp::endpoint ep = *resolver.resolve(tcp::v4(), argv[1], argv[2]).begin();
    if (!ep.address().is_loopback()) {
      std::fprintf(stderr, "tcp_load: %s is not a loopback address\n", argv[1]);
      return 2;
    }
    run.LatencyNs.reserve(1 << 20);
    for (std::size_t i = 0; i < run.Clients; ++i) run.All.push_back(std::make_shared<TClient>(run));
    for (auto& c : run.All) c->Start(ep);

    // The run lasts SECONDS from the moment every client is ready (or has failed);
    // connecting and set-up get SETUP_LIMIT at most.
    const auto started = Clock::now();
    asio::steady_timer timer(run.Io);
    std::function<void()> watch = [&] {
      timer.expires_after(std::chrono::milliseconds(10));
      timer.async_wait([&](std::error_code) {
        const auto now = Clock::now();
        const bool done = run.Measuring && now - run.Begin >= std::chrono::duration<double>(seconds);
        if (!done && (run.Measuring || now - started < SETUP_LIMIT)) return watch();
        if (!run.Measuring) std::fprintf(stderr, "tcp_load: set-up not finished in time\n");
        run.End = now;
        run.Over = true;
        run.Io.stop();
      });
    };
    watch();
    run.Io.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tcp_load: %s\n", e.what());
    return 1;
  }
  if (!run.Measuring) return 1;
  const double elapsed = std::chrono::duration<double>(run.End - run.Begin).count();
  const auto answered = run.LatencyNs.size();
  const auto p50 = Percentile(run.LatencyNs, 0.50);
  const auto p99 = Percentile(run.LatencyNs, 0.99);
  std::printf("clients=%zu failed=%zu seconds=%.2f answered=%zu rate=%.0f/s p50=%.1fus p99=%.1fus\n",
              run.Clients, run.Failed, elapsed, answered, static_cast<double>(answered) / elapsed,
              p50 / 1000.0, p99 / 1000.0);
  return run.Failed == run.Clients ? 1 : 0;
}
