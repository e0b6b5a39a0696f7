// tcp_load: load for a server that speaks the clients' framing (one length byte, then
// the message). Each of N clients connects, sends its set-up messages one at a time and
// waits for one answer to each, then sends the request message again and again, each
// time waiting for one answer frame. Prints one line: answered requests per second and
// the latency percentiles of the requests answered within the time given.
//
//   tcp_load [--threads T] [--rate R] [--phase PW] HOST PORT CLIENTS SECONDS [HEXMSG...]
//
// HEXMSG is a message in hex without its length byte (e.g. 0501070000). The last one is
// the request; any before it are set-up messages. Without any, the request is the five
// bytes 01 02 03 04 05. Loopback hosts only.
//
// --threads T  T worker threads, each with an event loop of its own driving every T-th
//              client (default 1). On a small machine the load generator itself can be
//              the bottleneck; more threads show how far the server goes.
// --rate R     each client sends at most R requests a second, evenly spaced (a late
//              answer lets the next request go at once). Without it a client sends the
//              next request as soon as the answer came (closed loop: latency then grows
//              with the number of clients, by Little's law, whatever the server does).
// --phase PW   messages for the Kassiro server, one set per client (no HEXMSG): client i
//              takes main set SETS[i / 99] on ECR 1 + i % 99 with password PW (SETS =
//              1, 5, 9, 11, 13: sets that can be held together on one ECR, so 495
//              clients hold distinct sets) and then asks that set's phase (operation 7)
//              again and again. Clients 496.. take nothing and ask the phase of set 3 on
//              ECR 1 + i % 99, which they do not hold: the same command routine, answered
//              at once with ERR_NOT_YOURS. A refused take fails the client.
#include <algorithm>
#include <asio.hpp>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

// A client message framed for the wire: length, head ST COP 0 ECR 0, text.
TFrame Message(std::uint8_t st, std::uint8_t cop, std::uint8_t ecr, const std::string& text = {}) {
  TFrame f{static_cast<std::uint8_t>(5 + text.size()), st, cop, 0, ecr, 0};
  for (const char c : text) f.push_back(static_cast<std::uint8_t>(c));
  return f;
}

// What one client sends: set-up messages, then the request again and again.
struct TScript {
  std::vector<TFrame> SetUp;
  TFrame Request;
  bool CheckSetUp = false;  // a set-up answer with a non-zero error byte fails the client
};

constexpr std::uint8_t COP_REQ = 1;
constexpr std::uint8_t COP_PHASE = 7;
constexpr std::array<std::uint8_t, 5> PHASE_SETS = {1, 5, 9, 11, 13};
constexpr std::size_t ECRS = 99;

TScript PhaseScript(std::size_t i, const std::string& password) {
  TScript s;
  s.CheckSetUp = true;
  const auto ecr = static_cast<std::uint8_t>(1 + i % ECRS);
  if (i / ECRS < PHASE_SETS.size()) {
    const std::uint8_t st = PHASE_SETS[i / ECRS];
    s.SetUp.push_back(Message(st, COP_REQ, ecr, password + ";"));
    s.Request = Message(st, COP_PHASE, ecr);
  } else {
    s.Request = Message(3, COP_PHASE, ecr);
  }
  return s;
}

class TClient;

// What all workers share: the clock of the run and its counters.
struct TShared {
  std::size_t Clients = 0;
  std::atomic<std::size_t> Settled{0};  // clients ready or failed
  std::atomic<std::size_t> Failed{0};
  std::atomic<std::size_t> Refused{0};  // set-up answers with an error
  std::atomic<bool> Measuring{false};
  std::atomic<bool> Over{false};
  Clock::duration Period{};  // --rate: time between two requests of a client; 0: none
  std::mutex BeginMu;
  Clock::time_point Begin;
  std::vector<std::function<void()>> Kicks;  // one per worker: starts its ready clients
};

// One thread's share of the clients, with its event loop and its latencies.
struct TWorker {
  asio::io_context Io{1};
  std::vector<std::shared_ptr<TClient>> Clients;
  std::vector<std::uint32_t> LatencyNs;
};

class TClient : public std::enable_shared_from_this<TClient> {
 public:
  TClient(TShared& sh, TWorker& w, std::size_t index, TScript script)
      : sh_(sh), w_(w), index_(index), script_(std::move(script)), socket_(w.Io), timer_(w.Io) {}

  void Start(const tcp::endpoint& ep) {
    // Each client from a loopback address of its own: a server caps the connections
    // that one address may hold.
    std::error_code bindEc;
    if (ep.address().is_loopback() && ep.address().is_v4()) socket_.open(tcp::v4(), bindEc);
    if (socket_.is_open())
      socket_.bind(tcp::endpoint(asio::ip::address_v4(0x7F010001u + static_cast<std::uint32_t>(index_)), 0),
                   bindEc);
    socket_.async_connect(ep, [self = shared_from_this()](std::error_code ec) {
      if (ec) return self->Fail();
      self->socket_.set_option(tcp::no_delay(true), ec);
      self->Next();
    });
  }

  // On the worker's thread once measuring began: a ready client starts its requests.
  void Kick() {
    if (failed_ || started_ || !counted_) return;
    started_ = true;
    if (sh_.Period == Clock::duration::zero()) return Next();
    // Paced clients start spread over one period, not all at once.
    next_ = sh_.Begin + sh_.Period * static_cast<long>(index_) / static_cast<long>(sh_.Clients);
    Schedule();
  }

 private:
  // Sends the next set-up message or, after them, the request.
  void Next() {
    if (sh_.Over || failed_) return;
    if (step_ == script_.SetUp.size() && !started_) {
      if (!counted_) {
        counted_ = true;
        Settle();
      }
      return;  // Kick starts the requests once every client has settled
    }
    const TFrame& f = step_ < script_.SetUp.size() ? script_.SetUp[step_] : script_.Request;
    sent_ = Clock::now();
    asio::async_write(socket_, asio::buffer(f), [self = shared_from_this()](std::error_code ec, std::size_t) {
      if (ec) return self->Fail();
      self->ReadLength();
    });
  }

  void Schedule() {
    timer_.expires_at(next_);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec) self->Next();
    });
  }

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
    if (step_ < script_.SetUp.size()) {
      if (script_.CheckSetUp && (answer_[0] < 5 || answer_[5] != 0)) {
        ++sh_.Refused;
        return Fail();
      }
      ++step_;
      return Next();
    }
    if (sh_.Measuring && !sh_.Over) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sent_);
      w_.LatencyNs.push_back(static_cast<std::uint32_t>(std::min<std::int64_t>(ns.count(), UINT32_MAX)));
    }
    if (sh_.Period == Clock::duration::zero()) return Next();
    next_ = std::max(next_ + sh_.Period, Clock::now());
    Schedule();
  }

  void Fail() {
    if (sh_.Over || failed_) return;
    failed_ = true;
    ++sh_.Failed;
    if (!counted_) {
      counted_ = true;
      Settle();
    }
  }

  // Counts this client as ready or failed; the last one starts the measurement.
  void Settle() {
    if (sh_.Settled.fetch_add(1) + 1 != sh_.Clients) return;
    {
      std::lock_guard lock(sh_.BeginMu);
      sh_.Begin = Clock::now();
    }
    sh_.Measuring = true;
    for (auto& kick : sh_.Kicks) kick();
  }

  TShared& sh_;
  TWorker& w_;
  std::size_t index_;  // 0.. over all clients
  TScript script_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  std::array<std::uint8_t, 256> answer_{};
  std::size_t step_ = 0;
  bool counted_ = false;  // counted as ready or as failed
  bool failed_ = false;
  bool started_ = false;  // kicked: sending requests
  Clock::time_point sent_, next_;
};

std::uint32_t Percentile(std::vector<std::uint32_t>& v, double p) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

int Usage() {
  std::fprintf(stderr,
               "usage: tcp_load [--threads T] [--rate R] [--phase PW] HOST PORT CLIENTS SECONDS "
               "[HEXMSG...]\n");
  return 2;
}

struct TOptions {
  unsigned Threads = 1;
  double Rate = 0;  // requests per second per client, 0: closed loop
  std::optional<std::string> PhasePassword;
  std::vector<std::string> Args;  // the positional arguments
};

std::optional<TOptions> ParseOptions(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--threads" && hasValue) {
      o.Threads = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
      if (o.Threads == 0 || o.Threads > 64) return std::nullopt;
    } else if (a == "--rate" && hasValue) {
      o.Rate = std::strtod(argv[++i], nullptr);
      if (!(o.Rate > 0)) return std::nullopt;
    } else if (a == "--phase" && hasValue) {
      o.PhasePassword = argv[++i];
    } else if (a.starts_with("--")) {
      return std::nullopt;
    } else {
      o.Args.push_back(a);
    }
  }
  if (o.Args.size() < 4 || (o.PhasePassword && o.Args.size() > 4)) return std::nullopt;
  return o;
}

// The same messages for every client, from the command line.
std::optional<TScript> HexScript(const std::vector<std::string>& hex) {
  TScript s;
  for (const auto& h : hex) {
    auto f = FrameFromHex(h);
    if (!f) {
      std::fprintf(stderr, "tcp_load: not a message in hex: %s\n", h.c_str());
      return std::nullopt;
    }
    s.SetUp.push_back(std::move(*f));
  }
  if (s.SetUp.empty()) {
    s.Request = {5, 1, 2, 3, 4, 5};
  } else {
    s.Request = std::move(s.SetUp.back());
    s.SetUp.pop_back();
  }
  return s;
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const auto opts = ParseOptions(argc, argv);
  if (!opts) return Usage();
  TShared sh;
  sh.Clients = std::strtoul(opts->Args[2].c_str(), nullptr, 10);
  const double seconds = std::strtod(opts->Args[3].c_str(), nullptr);
  if (sh.Clients == 0 || seconds <= 0) return Usage();
  if (opts->Rate > 0)
    sh.Period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / opts->Rate));
  std::optional<TScript> common;
  if (!opts->PhasePassword) {
    common = HexScript({opts->Args.begin() + 4, opts->Args.end()});
    if (!common) return 2;
  }

  std::vector<std::unique_ptr<TWorker>> workers;
  for (unsigned t = 0; t < opts->Threads; ++t) workers.push_back(std::make_unique<TWorker>());
  for (auto& w : workers) {
    TWorker* wp = w.get();
    sh.Kicks.push_back([wp] {
      asio::post(wp->Io, [wp] {
        for (auto& c : wp->Clients) c->Kick();
      });
    });
  }
  double elapsed = 0;
  double cpu = 0;
  try {
    tcp::resolver resolver(workers[0]->Io);
    const tcp::endpoint ep = *resolver.resolve(tcp::v4(), opts->Args[0], opts->Args[1]).begin();
    if (!ep.address().is_loopback()) {
      std::fprintf(stderr, "tcp_load: %s is not a loopback address\n", opts->Args[0].c_str());
      return 2;
    }
    for (std::size_t i = 0; i < sh.Clients; ++i) {
      TWorker& w = *workers[i % workers.size()];
      w.Clients.push_back(std::make_shared<TClient>(
          sh, w, i, opts->PhasePassword ? PhaseScript(i, *opts->PhasePassword) : *common));
    }
    for (auto& w : workers) {
      w->LatencyNs.reserve(1 << 20);
      for (auto& c : w->Clients) c->Start(ep);
    }
    std::vector<std::thread> threads;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
    for (auto& w : workers) guards.push_back(asio::make_work_guard(w->Io));
    for (auto& w : workers) threads.emplace_back([&io = w->Io] { io.run(); });

    // The run lasts SECONDS from the moment every client is ready (or has failed);
    // connecting and set-up get SETUP_LIMIT at most.
    const auto started = Clock::now();
    while (!sh.Measuring && Clock::now() - started < SETUP_LIMIT)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Clock::time_point begin;
    if (sh.Measuring) {
      const double cpu0 = CpuSeconds();
      {
        std::lock_guard lock(sh.BeginMu);
        begin = sh.Begin;
      }
      std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(seconds)));
      sh.Over = true;
      elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
      cpu = CpuSeconds() - cpu0;
    } else {
      std::fprintf(stderr, "tcp_load: set-up not finished in time\n");
      sh.Over = true;
    }
    for (auto& w : workers) w->Io.stop();
    for (auto& t : threads) t.join();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tcp_load: %s\n", e.what());
    return 1;
  }
  if (!sh.Measuring) return 1;
  std::vector<std::uint32_t> all;
  for (auto& w : workers) all.insert(all.end(), w->LatencyNs.begin(), w->LatencyNs.end());
  const auto answered = all.size();
  const auto p50 = Percentile(all, 0.50);
  const auto p99 = Percentile(all, 0.99);
  if (sh.Refused > 0) std::fprintf(stderr, "tcp_load: %zu set-up(s) refused\n", sh.Refused.load());
  std::printf(
      "clients=%zu failed=%zu seconds=%.2f answered=%zu rate=%.0f/s p50=%.1fus p99=%.1fus "
      "threads=%u cpu=%.0f%%\n",
      sh.Clients, sh.Failed.load(), elapsed, answered, static_cast<double>(answered) / elapsed,
      p50 / 1000.0, p99 / 1000.0, opts->Threads, 100.0 * cpu / elapsed);
  return sh.Failed == sh.Clients ? 1 : 0;
}
