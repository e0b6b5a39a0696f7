// e2e_bench: the whole server end to end, in one process: a TKassiroServer on a
// pseudo-terminal whose far end the ECR simulator plays unpaced, and a loopback TCP
// client. A pseudo-terminal does not pace, so the times measured are software time; each
// is printed beside the time the same bytes take on a 38400-baud line.
//
//   e2e_bench command [--ecrs 1|99] [--count N] [--spread MS]
//       The client holds ST_RPR (5) on ECR 2 and sends IN_Cmd (operation 4, text "12;")
//       N times (default 200), each after a random pause of 0..MS ms so that commands
//       arrive at any point of the polling round; measured: request sent -> result
//       message received. With --ecrs 99 a second client holds ST_ERS (1) on ECRs 1..99,
//       so all 99 are polled, and the 98 others answer every take in-line: the command
//       waits for its ECR's turn.
//   e2e_bench flush [--seconds S] [--clients C] [--interval MS]
//       ECRs 3 and 7 close a receipt at every second take (each close draws a receipt
//       number, which goes to disk before it is sent); one client holds ST_ERS on both
//       and reads the reports. C other clients (default 4) each ask a set's phase
//       (AC_Phase, answered at once, never waiting for the line) every 0..MS ms (default
//       5) for S seconds (default 10). Measured: each request sent -> its answer had, and
//       the receipts closed per second. Run it under the slow_flush shim to see what a
//       slow disk does to clients that never touch the line.
//   e2e_bench query [--count N]
//       ECR 3 raises an article query (an on-line block with command 8) at every take;
//       the client holds ST_ECP (9) on ECR 3 and answers each query at once with AC_Ans.
//       Measured: the query frame written by the simulator -> the client has the query
//       message, and the client's AC_Ans sent -> the simulator has the answer frame.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Pty.h"
#include "ServerInFolder.h"  // tests/support
#include "TcpClient.h"  // tests/support
#include "server/KassiroServer.h"
#include "core/LogFile.h"
#include "ecrsim/SimScript.h"

namespace {

using namespace kassiro;
using namespace kassiro::bench;
using namespace std::chrono_literals;

constexpr int Speed = 38400;
constexpr const char* Password = "pw";
constexpr auto Wait = 10s;  // for any one message; generous, ends when the message comes

// Wire bytes at 38400 baud. An idle poll cycle: 2 releases, take, reply "004703;" framed,
// the computer's FF 06.
constexpr int IdleCycleBytes = 2 * 6 + 6 + 11 + 2;
// After the ECR's in-line reply: the command frame (15 fill bytes FF, 0A "R12;" 0D and two
// CRC bytes), the ECR's 06, its reply frame 0A "0;" 0D C1 C2, the computer's FF 06.
constexpr int CommandBytes = (15 + 1 + 4 + 1 + 2) + 1 + 6 + 2;
// After the last byte of the ECR's query frame: the computer's FF 06, then the message.
constexpr int QueryAckBytes = 2;
// The answer frame: 15 fill bytes, 0A "4711;COLA;1.25;" 0D and two CRC bytes.
constexpr int AnswerFrameBytes = 15 + 1 + 15 + 1 + 2;

// A client message: head ST COP 00 ECR ErrC, then the text.
std::string Msg(int st, int cop, int ecr, int err, std::string_view text = {}) {
  std::string m{static_cast<char>(st), static_cast<char>(cop), '\0', static_cast<char>(ecr),
                static_cast<char>(err)};
  return m.append(text);
}

using TClient = testing::TcpClient;

// Sends a request and expects exactly `answer` as the next message.
void Request(TClient& client, std::string_view request, std::string_view answer) {
  if (!client.Send(request)) throw std::runtime_error("send failed");
  const auto got = client.Next(Wait);
  if (!got || *got != answer) throw std::runtime_error("unexpected answer to a set-up request");
}

// The simulator on its own thread over the pty's master side.
struct TLine {
  explicit TLine(std::string_view script) : Sim(ecrsim::ParseSimScript(script, "bench"), Stamped,
                                                ecrsim::TRunOptions{.Speed = Speed}) {}
  TPty Pty;
  TStampedLine Stamped{Pty};
  ecrsim::TSimRunner Sim;
};

// The server in a scratch folder, on the pty's slave side: 38400 baud, a free TCP port,
// every set's password "pw", code table 1 (digits, capitals and punctuation pass as
// they are).
class TServer {
 public:
  TServer(const TPty& pty, const std::filesystem::path& dir) {
    BindProgramLog(dir / "kassirod");
    FServer = testing::StartServerInFolder(dir / "kassirod", pty.SlavePath(), Speed, Password);
    if (!FServer->Started() || FServer->ListeningPort() == 0) throw std::runtime_error("server did not start");
  }
  std::uint16_t Port() const { return FServer->ListeningPort(); }

 private:
  std::unique_ptr<TKassiroServer> FServer;
};

struct TOptions {
  std::string Mode;
  int Ecrs = 1;
  int Count = 200;
  double SpreadMs = -1;  // -1: by the number of ECRs
  double Seconds = 10;
  int Clients = 4;
  double IntervalMs = 5;
};

void PrintStats(const char* what, std::vector<double> us, double wireMs) {
  const double p50 = Percentile(us, 0.5), p99 = Percentile(us, 0.99);
  std::printf("%s: median %.1f us, p99 %.1f us, max %.1f us over %zu; on a 38400-baud line the same "
              "bytes take %.2f ms: software %.1f%% of it (median)\n",
              what, p50, p99, *std::max_element(us.begin(), us.end()), us.size(), wireMs,
              100 * p50 / 1000 / wireMs);
}

// ---------------------------------------------------------------- command

int BenchCommand(const TOptions& o) {
  std::string script;
  for (int ecr = o.Ecrs == 1 ? 2 : 1; ecr <= (o.Ecrs == 1 ? 2 : 99); ++ecr)
    script += "ecr " + std::to_string(ecr) + "\n";
  TLine line(script);
  line.Sim.Start();
  TScratchDir dir;
  TServer server(line.Pty, dir.path());

  TClient owner(server.Port());
  Request(owner, Msg(5, 1, 2, 0, "pw;"), Msg(5, 1, 2, 0));
  std::unique_ptr<TClient> others;
  if (o.Ecrs > 1) {
    others = std::make_unique<TClient>(server.Port());
    for (int ecr = 1; ecr <= 99; ++ecr) Request(*others, Msg(1, 1, ecr, 0, "pw;"), Msg(1, 1, ecr, 0));
  }
  const double spread = o.SpreadMs >= 0 ? o.SpreadMs : (o.Ecrs > 1 ? 20.0 : 1.0);
  std::printf("e2e_bench command: IN_Cmd on ECR 2 with %d ECR(s) polled%s, %d commands, pauses "
              "0..%.0f ms, load average %s\n",
              o.Ecrs, o.Ecrs > 1 ? " (the 98 others answer in-line)" : "", o.Count, spread,
              LoadAverage().c_str());

  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> pause(0, spread);
  const std::string request = Msg(5, 4, 2, 0, "12;");
  const std::string result = Msg(5, 4, 2, 0, "0;");
  std::vector<double> us;
  for (int i = -5; i < o.Count; ++i) {  // five to warm up
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(pause(rng)));
    const auto t0 = Clock::now();
    if (!owner.Send(request)) throw std::runtime_error("send failed");
    const auto got = owner.Next(Wait);
    const auto t1 = Clock::now();
    if (!got || *got != result) throw std::runtime_error("no result, or an unexpected one");
    if (i >= 0) us.push_back(Micros(t1 - t0));
  }
  // On the line: half a round of idle cycles on average before the command's turn, then
  // the command's own bytes.
  const double round = o.Ecrs * WireMs(IdleCycleBytes, Speed);
  const double wire = round / 2 + WireMs(CommandBytes, Speed);
  std::printf("  (wire: the ECR's turn comes after %.1f ms on average (half a round of %d idle cycles "
              "of %.2f ms), then %d bytes take %.2f ms)\n",
              round / 2, o.Ecrs, WireMs(IdleCycleBytes, Speed), CommandBytes, WireMs(CommandBytes, Speed));
  char what[64];
  std::snprintf(what, sizeof what, "command -> result, %d ECR(s) polled", o.Ecrs);
  PrintStats(what, us, wire);
  std::printf("load average after: %s\n", LoadAverage().c_str());
  return 0;
}

// ---------------------------------------------------------------- query

int BenchQuery(const TOptions& o) {
  TLine line(
      "ecr 3 serial 123456\n"
      "online \"{serial};{block};8;4711;;12.50;\" answer\n"
      "loop\n");
  const std::string answerText = "4711;COLA;1.25;";
  // Written on the simulator's thread, read once it has stopped.
  std::mutex mu;
  std::vector<Clock::time_point> queryWritten, answerHeard;
  line.Sim.SetObserver([&](const ecrsim::TLineEvent& e) {
    if (e.Kind != ecrsim::TLineEventKind::Frame) return;
    // A frame from the computer; the last query the ECR sent was written before it.
    std::lock_guard lock(mu);
    if (e.Payload.str() == answerText) answerHeard.push_back(line.Stamped.LastRead());
  });
  line.Stamped.SetOnFrame([&](const std::string& payload, Clock::time_point begun, Clock::time_point) {
    if (payload.find(";8;4711;") == std::string::npos) return;
    std::lock_guard lock(mu);
    queryWritten.push_back(begun);
  });
  line.Sim.Start();
  TScratchDir dir;
  TServer server(line.Pty, dir.path());
  std::printf("e2e_bench query: ECR 3 asks at every take, the client answers at once, %d queries, "
              "load average %s\n",
              o.Count, LoadAverage().c_str());

  TClient client(server.Port());
  Request(client, Msg(9, 1, 3, 0, "pw;"), Msg(9, 1, 3, 0));
  const std::string answer = Msg(9, 4, 3, 0, answerText);
  std::vector<Clock::time_point> messageHad, answerSent;
  for (int i = 0; i < o.Count; ++i) {
    const auto query = client.Next(Wait);
    const auto had = Clock::now();
    if (!query || query->size() < 5 || (*query)[0] != 9 || static_cast<std::uint8_t>((*query)[1]) != 0x80)
      throw std::runtime_error("no query message, or an unexpected message");
    answerSent.push_back(Clock::now());
    if (!client.Send(answer)) throw std::runtime_error("send failed");
    messageHad.push_back(had);
    const auto result = client.Next(Wait);
    if (!result || *result != answer) throw std::runtime_error("no result to the answer, or an unexpected one");
  }
  client.Send(Msg(9, 2, 3, 0));  // release: ECR 3 leaves the list
  client.Next(Wait);
  line.Sim.Stop();

  std::lock_guard lock(mu);
  if (queryWritten.size() < messageHad.size() || answerHeard.size() < answerSent.size())
    throw std::runtime_error("the simulator saw fewer frames than the client handled");
  std::vector<double> toClient, toLine;
  for (std::size_t i = 0; i < messageHad.size(); ++i) {
    toClient.push_back(Micros(messageHad[i] - queryWritten[i]));
    toLine.push_back(Micros(answerHeard[i] - answerSent[i]));
  }
  std::printf("  (wire: after the query frame's last byte the computer's FF 06 takes %.2f ms; the answer "
              "frame, %d bytes, takes %.2f ms)\n",
              WireMs(QueryAckBytes, Speed), AnswerFrameBytes, WireMs(AnswerFrameBytes, Speed));
  PrintStats("query frame -> client message", toClient, WireMs(QueryAckBytes, Speed));
  PrintStats("AC_Ans sent -> answer frame on the line", toLine, WireMs(AnswerFrameBytes, Speed));
  std::printf("load average after: %s\n", LoadAverage().c_str());
  return 0;
}

// ---------------------------------------------------------------- flush

int BenchFlush(const TOptions& o) {
  TLine line(
      "ecr 3\n"
      "online \"{serial};{block};0;11;\"\n"
      "online \"{serial};{block};3;4;\"\n"
      "loop\n"
      "ecr 7\n"
      "online \"{serial};{block};0;22;\"\n"
      "online \"{serial};{block};3;4;\"\n"
      "loop\n");
  line.Sim.Start();
  TScratchDir dir;
  TServer server(line.Pty, dir.path());
  const char* slow = std::getenv("SLOW_FLUSH_MS");
  std::printf("e2e_bench flush: ECRs 3 and 7 close receipts, %d clients ask a phase every 0..%.0f ms "
              "for %.0f s, flush slowed by %s ms (SLOW_FLUSH_MS, with the slow_flush shim), load "
              "average %s\n",
              o.Clients, o.IntervalMs, o.Seconds, slow ? slow : "0", LoadAverage().c_str());

  TClient reports(server.Port());
  Request(reports, Msg(1, 1, 3, 0, "pw;"), Msg(1, 1, 3, 0));
  // ECR 3's reports may come before the answer to the second take.
  if (!reports.Send(Msg(1, 1, 7, 0, "pw;"))) throw std::runtime_error("send failed");
  for (;;) {
    const auto got = reports.Next(Wait);
    if (!got) throw std::runtime_error("no answer to a set-up request");
    if (*got == Msg(1, 1, 7, 0)) break;
  }
  std::atomic<bool> running{true};
  std::atomic<long> closed{0};
  std::thread reader([&] {
    while (running) {
      const auto msg = reports.Next(200ms);
      // A receipt's close (sub-command 4) is reported with event ORD_R.
      if (msg && msg->size() >= 5 && static_cast<std::uint8_t>((*msg)[1]) == ORD_R) ++closed;
    }
  });

  const auto deadline = Clock::now() + std::chrono::duration<double>(o.Seconds);
  std::vector<std::vector<double>> perClient(static_cast<std::size_t>(o.Clients));
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < o.Clients; ++c) {
    clients.emplace_back([&, c] {
      try {
        TClient client(server.Port());
        std::mt19937 rng(static_cast<unsigned>(4711 + c));
        std::uniform_real_distribution<double> pause(0, o.IntervalMs);
        // The phase of set 3 on ECR 1, which nobody holds: answered at once, under the
        // session lock like every command.
        const std::string request = Msg(3, 7, 1, 0);
        auto& us = perClient[static_cast<std::size_t>(c)];
        while (Clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(pause(rng)));
          const auto t0 = Clock::now();
          if (!client.Send(request)) throw std::runtime_error("send failed");
          const auto got = client.Next(Wait);
          const auto t1 = Clock::now();
          if (!got || got->size() < 5 || (*got)[1] != 7) throw std::runtime_error("no answer, or an unexpected one");
          us.push_back(Micros(t1 - t0));
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "client %d: %s\n", c, e.what());
        ++failures;
      }
    });
  }
  const auto begun = Clock::now();
  for (auto& t : clients) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
  running = false;
  reader.join();
  if (failures > 0) throw std::runtime_error("a client failed");

  std::vector<double> us;
  for (const auto& v : perClient) us.insert(us.end(), v.begin(), v.end());
  if (us.empty()) throw std::runtime_error("no request was answered");
  const double p50 = Percentile(us, 0.5), p99 = Percentile(us, 0.99);
  std::printf("clients' command -> answer: median %.1f us, p99 %.1f us, max %.1f us over %zu; receipts "
              "closed %.1f/s\n",
              p50, p99, *std::max_element(us.begin(), us.end()), us.size(), static_cast<double>(closed) / seconds);
  std::printf("load average after: %s\n", LoadAverage().c_str());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: e2e_bench command [--ecrs 1|99] [--count N] [--spread MS]\n"
               "       e2e_bench query [--count N]\n"
               "       e2e_bench flush [--seconds S] [--clients C] [--interval MS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  o.Mode = ModeArgument(argc, argv, {"command", "query", "flush"});
  if (o.Mode.empty()) return Usage();
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--ecrs") o.Ecrs = std::atoi(argv[i + 1]);
    else if (a == "--count") o.Count = std::atoi(argv[i + 1]);
    else if (a == "--spread") o.SpreadMs = std::strtod(argv[i + 1], nullptr);
    else if (a == "--seconds") o.Seconds = std::strtod(argv[i + 1], nullptr);
    else if (a == "--clients") o.Clients = std::atoi(argv[i + 1]);
    else if (a == "--interval") o.IntervalMs = std::strtod(argv[i + 1], nullptr);
    else return Usage();
  }
  if (argc % 2 != 0 || (o.Ecrs != 1 && o.Ecrs != 99) || o.Count < 1 || o.Clients < 1 || o.Seconds <= 0)
    return Usage();
  return RunReporting("e2e_bench", [&] {
    if (o.Mode == "flush") return BenchFlush(o);
    return o.Mode == "command" ? BenchCommand(o) : BenchQuery(o);
  });
}
