// bridge_bench: ecrbridge between a stand-in Kassiro server (this program, speaking the
// client protocol on loopback) and a real mosquitto broker on a free loopback port.
//
//   bridge_bench [--latency-count 2000] [--rate 500] [--burst 20000] [--spool-size 16M]
//                [--spool-flush 100] [--journal 1]
//
// --journal 1: the reports go into a report journal written by this program as the server
// writes it (group commit every 100 ms), and the bridge reads them with --journal instead
// of from a socket; the journal's own cost per report on the calling thread (what the
// polling thread pays) and its rate alone are printed too. No drain run then.
//
// --spool-flush is handed to the bridge: its group commit's interval in ms, 0 for a spool
// that is never flushed (to see what the flushing costs).
//
// 1. Latency: reports paced at --rate; for each one, from this program's write of the
//    report message to the server socket to a subscriber (libmosquitto, QoS 1, in this
//    process) having the published message. Beside it the floor: the same messages
//    published straight to the broker by this program at QoS 1. The bridge adds the
//    difference: its read, the JSON, the spool write, its publish.
// 2. Sustained rate: --burst reports written as fast as the socket takes them; from the
//    first write to the subscriber having the last one.
// 3. Drain: the broker stopped, reports written until the bridge says its spool is full;
//    the broker started again; from the bridge's "connected to the broker" to the spool
//    folder having no segment left (every record acknowledged by the broker).
#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/ReportJournal.h"
#include "Process.h"  // tests/support
#include "Programs.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kassiro::testing::FreeTcpPort;
using kassiro::testing::ReadFile;
using kassiro::testing::TChild;
using kassiro::testing::TempDir;
using kassiro::testing::WaitUntil;
using kassiro::testing::WriteFile;

struct TOptions {
  int LatencyCount = 2000;
  int Rate = 500;
  int Burst = 20000;
  std::string SpoolSize = "16M";
  std::string SpoolFlush = "100";
  bool Journal = false;
};

std::string ReportText(int seq) {
  return "123456;" + std::to_string(seq % 10) + ";" + std::to_string(seq) + ";1.00;1;" + std::to_string(seq) + ";1;";
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// The stand-in server: accepts the bridge, grants every take, writes report messages.
class TFakeServer {
 public:
  TFakeServer() {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListen, 4) != 0)
      throw std::runtime_error("listen failed");
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  ~TFakeServer() {
    if (FClient >= 0) ::close(FClient);
    ::close(FListen);
  }

  // Accepts the bridge and answers its take of set 1 on ECR 1.
  void AcceptBridge() {
    if (FClient >= 0) ::close(FClient);
    FClient = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    const int on = 1;
    ::setsockopt(FClient, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    unsigned char head[64];
    std::size_t got = 0;
    while (got < 1 || got < 1u + head[0]) {
      const ssize_t n = ::recv(FClient, head + got, sizeof head - got, 0);
      if (n <= 0) throw std::runtime_error("the bridge went away");
      got += static_cast<std::size_t>(n);
    }
    const char answer[] = {5, static_cast<char>(head[1]), 1, 0, static_cast<char>(head[4]), 0};
    ::send(FClient, answer, sizeof answer, MSG_NOSIGNAL);
  }

  // A PLU_R report of ECR 1 whose article field carries seq; line seq, receipt 1.
  void SendReport(int seq) {
    const std::string text = ReportText(seq);
    std::string frame;
    frame += static_cast<char>(5 + text.size());
    frame += std::string{1, static_cast<char>(0x80), 0, 1, 0};
    frame += text;
    std::size_t at = 0;
    while (at < frame.size()) {
      const ssize_t n = ::send(FClient, frame.data() + at, frame.size() - at, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      at += static_cast<std::size_t>(n);
    }
  }

  std::uint16_t Port = 0;

 private:
  int FListen = -1;
  int FClient = -1;
};

// An in-process subscriber: notes when each sequence number arrived.
class TSubscriber {
 public:
  explicit TSubscriber(std::uint16_t port, std::size_t capacity) : FTimes(capacity + 1) {
    FMosq = mosquitto_new("bench-sub", true, this);
    mosquitto_message_callback_set(FMosq, &TSubscriber::OnMessage);
    mosquitto_subscribe_callback_set(FMosq, [](mosquitto*, void* self, int, int, const int*) {
      auto& s = *static_cast<TSubscriber*>(self);
      std::lock_guard lock(s.FMutex);
      s.FSubscribed = true;
      s.FChanged.notify_all();
    });
    if (mosquitto_connect(FMosq, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) throw std::runtime_error("sub connect");
    mosquitto_subscribe(FMosq, nullptr, "kassiro/bench/ecr/#", 1);
    mosquitto_subscribe(FMosq, nullptr, "floor/#", 1);
    mosquitto_loop_start(FMosq);
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return FSubscribed; });
  }
  ~TSubscriber() {
    mosquitto_disconnect(FMosq);
    mosquitto_loop_stop(FMosq, true);
    mosquitto_destroy(FMosq);
  }

  void Reset() {
    std::lock_guard lock(FMutex);
    std::fill(FTimes.begin(), FTimes.end(), Clock::time_point{});
    FCount = 0;
  }
  // Waits until count messages came since Reset; false after 60 s.
  bool WaitCount(std::size_t count) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, std::chrono::seconds(60), [&] { return FCount >= count; });
  }
  Clock::time_point At(int seq) {
    std::lock_guard lock(FMutex);
    return FTimes[static_cast<std::size_t>(seq)];
  }

 private:
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    const auto now = Clock::now();
    auto& s = *static_cast<TSubscriber*>(self);
    // The bridge's JSON carries seq as its first field; the floor's payload is seq itself.
    const std::string payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
    int seq = 0;
    const auto f = payload.find("\"fields\":[\"");
    seq = std::atoi(payload.c_str() + (f == std::string::npos ? 0 : f + 11));
    std::lock_guard lock(s.FMutex);
    if (seq > 0 && static_cast<std::size_t>(seq) < s.FTimes.size() && s.FTimes[static_cast<std::size_t>(seq)] == Clock::time_point{}) {
      s.FTimes[static_cast<std::size_t>(seq)] = now;
      ++s.FCount;
      s.FChanged.notify_all();
    }
  }

  mosquitto* FMosq = nullptr;
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FSubscribed = false;
  std::vector<Clock::time_point> FTimes;
  std::size_t FCount = 0;
};

class TBroker {
 public:
  TBroker(const fs::path& dir, std::uint16_t port) : FDir(dir), FPort(port) { Start(); }
  void Start() {
    std::string conf = "listener " + std::to_string(FPort) + " 127.0.0.1\nallow_anonymous true\n"
                       "max_queued_messages 0\nlog_dest file " + (FDir / "mosquitto.log").string() + "\n";
    if (const passwd* pw = ::getpwuid(::getuid())) conf += "user " + std::string(pw->pw_name) + "\n";
    WriteFile(FDir / "mosquitto.conf", conf);
    const std::size_t from = ReadFile(FDir / "mosquitto.log").size();
    FChild = std::make_unique<TChild>(std::vector<std::string>{MOSQUITTO_PATH, "-c", (FDir / "mosquitto.conf").string()});
    const auto running = [&] { return ReadFile(FDir / "mosquitto.log").find(" running", from) != std::string::npos; };
    if (!WaitUntil(running, std::chrono::seconds(30), std::chrono::milliseconds(5)))
      throw std::runtime_error("mosquitto did not start");
  }
  void Stop() {
    FChild->Signal(SIGTERM);
    FChild->Wait();
    FChild.reset();
  }

 private:
  fs::path FDir;
  std::uint16_t FPort;
  std::unique_ptr<TChild> FChild;
};

void PrintLatency(const char* what, const std::vector<double>& us) {
  std::printf("%s: median %.0f us, p99 %.0f us, max %.0f us (%zu reports)\n", what, Percentile(us, 0.5),
              Percentile(us, 0.99), Percentile(us, 1.0), us.size());
}

int Main(const TOptions& o) {
  TempDir dir;
  const std::uint16_t brokerPort = FreeTcpPort();
  TBroker broker(dir.path(), brokerPort);
  TFakeServer server;
  const int total = o.LatencyCount * 2 + o.Burst;
  TSubscriber sub(brokerPort, static_cast<std::size_t>(std::max(total, 2000000)));

  std::unique_ptr<kassiro::TReportJournal> journal;
  std::vector<double> appendUs;
  if (o.Journal) {
    kassiro::TReportJournal::TOptions jo;
    jo.Dir = dir / "k.journal";
    auto opened = kassiro::TReportJournal::Open(std::move(jo));
    if (auto* e = std::get_if<std::string>(&opened)) throw std::runtime_error(*e);
    journal = std::move(std::get<std::unique_ptr<kassiro::TReportJournal>>(opened));
  }
  // One report: into the journal (timing the call, as the polling thread makes it) or
  // down the socket.
  const auto send = [&](int seq) {
    if (!journal) return server.SendReport(seq);
    const std::string msg = std::string{1, static_cast<char>(0x80), 0, 1, 0} + ReportText(seq);
    const auto t0 = Clock::now();
    journal->Append(1, 0x80, msg);
    appendUs.push_back(Us(Clock::now() - t0));
  };
  std::vector<std::string> args{BRIDGE_PATH, "--shop", "bench", "--ecr", "1", "--set", o.Journal ? "listening" : "main",
                                "--server", "127.0.0.1:" + std::to_string(server.Port), "--broker",
                                "mqtt://127.0.0.1:" + std::to_string(brokerPort), "--spool-dir", (dir / "spool").string(),
                                "--spool-size", o.SpoolSize, "--spool-flush", o.SpoolFlush, "--retry-min", "20",
                                "--retry-max", "100"};
  if (o.Journal) args.insert(args.end(), {"--journal", (dir / "k.journal").string()});
  TChild bridge(args, std::chrono::milliseconds(120000));
  if (!o.Journal) server.AcceptBridge();
  if (!bridge.WaitForLine(std::regex("connected to the broker"))) throw std::runtime_error("bridge: " + bridge.Out);

  // ---- 1. latency, paced, and the floor
  const auto gap = std::chrono::microseconds(1000000 / o.Rate);
  std::vector<Clock::time_point> sent(static_cast<std::size_t>(total) + 1);
  std::vector<double> bridgeUs, floorUs;
  sub.Reset();
  auto next = Clock::now();
  for (int seq = 1; seq <= o.LatencyCount; ++seq) {
    std::this_thread::sleep_until(next);
    next += gap;
    sent[static_cast<std::size_t>(seq)] = Clock::now();
    send(seq);
  }
  if (!sub.WaitCount(static_cast<std::size_t>(o.LatencyCount))) throw std::runtime_error("latency reports lost");
  for (int seq = 1; seq <= o.LatencyCount; ++seq) bridgeUs.push_back(Us(sub.At(seq) - sent[static_cast<std::size_t>(seq)]));

  mosquitto* pub = mosquitto_new("bench-floor", true, nullptr);
  mosquitto_int_option(pub, MOSQ_OPT_TCP_NODELAY, 1);
  if (mosquitto_connect(pub, "127.0.0.1", brokerPort, 30) != MOSQ_ERR_SUCCESS) throw std::runtime_error("floor connect");
  mosquitto_loop_start(pub);
  sub.Reset();
  next = Clock::now();
  for (int seq = 1; seq <= o.LatencyCount; ++seq) {
    std::this_thread::sleep_until(next);
    next += gap;
    const std::string payload = std::to_string(seq);
    sent[static_cast<std::size_t>(seq)] = Clock::now();
    mosquitto_publish(pub, nullptr, "floor/x", static_cast<int>(payload.size()), payload.data(), 1, false);
  }
  if (!sub.WaitCount(static_cast<std::size_t>(o.LatencyCount))) throw std::runtime_error("floor messages lost");
  for (int seq = 1; seq <= o.LatencyCount; ++seq) floorUs.push_back(Us(sub.At(seq) - sent[static_cast<std::size_t>(seq)]));
  mosquitto_disconnect(pub);
  mosquitto_loop_stop(pub, true);
  mosquitto_destroy(pub);

  std::printf("Paced at %d reports/s, spool flushed at most every %s ms (0: never)%s:\n", o.Rate, o.SpoolFlush.c_str(),
              o.Journal ? ", through the report journal" : "");
  PrintLatency("  report written to the bridge -> subscriber has it", bridgeUs);
  PrintLatency("  floor: published straight to the broker -> subscriber has it", floorUs);
  std::printf("bridge latency: median %.0f us (floor %.0f us, added %.0f us), p99 %.0f us (floor %.0f us)\n",
              Percentile(bridgeUs, 0.5), Percentile(floorUs, 0.5), Percentile(bridgeUs, 0.5) - Percentile(floorUs, 0.5),
              Percentile(bridgeUs, 0.99), Percentile(floorUs, 0.99));

  // ---- 2. sustained rate
  sub.Reset();
  const auto burstStart = Clock::now();
  appendUs.clear();
  for (int seq = 1; seq <= o.Burst; ++seq) send(seq);
  const auto written = Clock::now();
  if (journal) {
    journal->Settle();
    const double onDisk = std::chrono::duration<double>(Clock::now() - burstStart).count();
    std::printf("journal: %d reports appended in %.3f s and on disk after %.3f s: %.0f reports/s; the append "
                "itself (the polling thread's cost) median %.2f us, p99 %.2f us, max %.0f us\n",
                o.Burst, std::chrono::duration<double>(written - burstStart).count(), onDisk, o.Burst / onDisk,
                Percentile(appendUs, 0.5), Percentile(appendUs, 0.99), *std::max_element(appendUs.begin(), appendUs.end()));
  }
  if (!sub.WaitCount(static_cast<std::size_t>(o.Burst))) throw std::runtime_error("burst reports lost");
  const double seconds = std::chrono::duration<double>(sub.At(o.Burst) - burstStart).count();
  std::printf("sustained: %d reports in %.2f s: %.0f reports/s through the bridge (written in %.2f s)\n", o.Burst, seconds,
              o.Burst / seconds, std::chrono::duration<double>(written - burstStart).count());

  if (o.Journal) {
    bridge.Signal(SIGTERM);
    bridge.Wait();
    broker.Stop();
    return 0;
  }

  // ---- 3. drain of a full spool
  broker.Stop();
  if (!bridge.WaitForLine(std::regex("lost the broker"))) throw std::runtime_error("bridge: " + bridge.Out);
  int seq = 0;
  std::smatch full;
  std::thread writer([&] {
    // Far more than the spool holds; the bridge drops the rest.
    for (seq = 1; seq <= 400000; ++seq) server.SendReport(seq);
  });
  const auto fullLine = bridge.WaitForLine(std::regex(R"(the spool is full \((\d+) of \d+ bytes, (\d+) reports\))"));
  writer.join();
  if (!fullLine) throw std::runtime_error("the spool did not fill: " + bridge.Out);
  const std::string bytes = (*fullLine)[1], records = (*fullLine)[2];
  broker.Start();
  if (!bridge.WaitForLine(std::regex("connected to the broker"))) throw std::runtime_error("bridge: " + bridge.Out);
  const auto drainStart = Clock::now();
  const auto empty = [&] {
    for (const auto& e : fs::directory_iterator(dir / "spool"))
      if (e.path().extension() == ".seg") return false;
    return true;
  };
  while (!empty()) ::poll(nullptr, 0, 1);
  const double drain = std::chrono::duration<double>(Clock::now() - drainStart).count();
  std::printf("drain: a full spool of %s reports (%s bytes) published and acknowledged in %.2f s: %.0f reports/s, %.1f MB/s\n",
              records.c_str(), bytes.c_str(), drain, std::stod(records) / drain, std::stod(bytes) / drain / 1e6);

  bridge.Signal(SIGTERM);
  bridge.Wait();
  broker.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  TOptions o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--latency-count") o.LatencyCount = std::stoi(v);
    else if (a == "--rate") o.Rate = std::stoi(v);
    else if (a == "--burst") o.Burst = std::stoi(v);
    else if (a == "--spool-size") o.SpoolSize = v;
    else if (a == "--spool-flush") o.SpoolFlush = v;
    else if (a == "--journal") o.Journal = v == "1";
    else {
      std::fprintf(stderr, "usage: bridge_bench [--latency-count N] [--rate R] [--burst N] [--spool-size 16M] [--spool-flush MS] [--journal 1]\n");
      return 2;
    }
  }
  mosquitto_lib_init();
  int rc = 1;
  try {
    rc = Main(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bridge_bench: %s\n", e.what());
  }
  mosquitto_lib_cleanup();
  return rc;
}
