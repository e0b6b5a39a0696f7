// ecrsoak: the clients of the soak run (scripts/soak.sh). A few hundred connections on
// loopback work the way a shop's programs do: they take sets, queue in-line commands and
// receipt steps, poll phases, answer the ECRs' queries, read reports, release their sets
// and now and then drop the connection. One more connection, the watcher, holds the
// listening sets of every on-line ECR and sees every report, query and receipt result in
// the server's order. At the end the program checks and prints:
//   - every request got its answer or an error code (or was cut by a restart);
//   - answers carry the codes the protocol gives and results reach their own client;
//   - every report the ECRs had taken reached the watcher (the simulator's journal);
//   - no receipt number went to two ECRs or came again after its receipt was finished;
//   - no client hung (a watchdog looks at every client once a second).
// SIGUSR1 says the server is about to go down (SIGHUP or kill -9), SIGUSR2 that it is up
// again: connections cut and reports lost in between are expected.
//
//   ecrsoak --script                      # print the simulator script of the layout
//   ecrsoak --free-port                   # print a TCP port that is free now
//   ecrsoak --port P --seconds S [--clients N] [--seed N] [--journal FILE] [--password PW]
#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

// After the standard headers, as everywhere: Asio picks its handler allocation from the
// standard library's configuration.
#include <asio.hpp>
#include <CLI/CLI.hpp>

#include "core/KassiroConstants.h"
#include "ecrclient/Wire.h"
#include "ecrsoak/SoakLedger.h"

namespace kassiro::soak {
namespace {

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;
using client::TMessage;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr Millis IMMEDIATE_MS = 10'000;  // answers the server gives at once
constexpr Millis DEFERRED_MS = 120'000;  // results that wait for the ECR's turn
constexpr Millis WATCHDOG_SLACK_MS = 15'000;

struct TOptions {
  std::uint16_t Port = 0;
  int Seconds = 60;
  int Clients = 300;
  std::uint32_t Seed = 1;
  std::string Journal;
  std::string Password = "pw";
};

// ------------------------------------------------------------------ the run's records

struct TKindStats {
  long Sent = 0, Answered = 0, Cut = 0, Abandoned = 0, Hung = 0, Closed = 0, Open = 0;
  std::map<int, long> Codes;  // answers by error code
};

struct TRun {
  TOptions Opt;
  asio::io_context Io{1};
  std::mt19937 Random;
  bool Stopping = false;
  Millis Start = 0;
  std::vector<TWindow> Windows;  // restarts; the last one may still be open (To = 0)
  std::map<std::string, TKindStats> Kinds;
  std::vector<std::string> Problems;  // failures, the first ones in words
  long ProblemCount = 0;
  long WrongAnswers = 0, Misrouted = 0, Stalled = 0, Refused = 0, ReportsRead = 0;
  long QueriesSeen = 0, QueriesSkipped = 0, ParkedFinals = 0, NotExecuted = 0;
  int Connections = 0;
  int Active = 0;      // clients still in their life
  Millis MaxLag = 0;   // the longest the event loop came late: a starved client process
  struct TCut {
    TKindStats* Kind;
    Millis At;
    std::string What;
  };
  std::vector<TCut> Cuts;  // requests whose connection was cut, judged at the end
  struct TRefusal {
    Millis At;
    std::string Why;
  };
  std::vector<TRefusal> Refusals;  // connections that failed, judged at the end
  TReceiptLedger Receipts;
  TReportCheck Reports;
  long WatcherReconnects = 0;

  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(Random); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(Random) < p; }

  void Problem(long& counter, const std::string& what) {
    ++counter;
    ++ProblemCount;
    if (counter <= 5 && Problems.size() < 40) Problems.push_back(what);  // the first of each kind
  }

  // Within a restart window, or within the grace after its end (generous: on a busy
  // machine the clients may hear of a cut connection seconds late).
  bool NearRestart(Millis t, Millis grace = 10'000) const {
    return std::any_of(Windows.begin(), Windows.end(), [&](const TWindow& w) {
      return t >= w.From - 1'000 && (w.To == 0 || t <= w.To + grace);
    });
  }
};

std::string Hex(const TMessage& m) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02X %02X %02X %02X %02X \"", m.St, m.Cop, m.Port, m.Ecr, m.Err);
  return buf + std::string(m.Text.view()) + "\"";
}

// ------------------------------------------------------------------ one connection

class TConn {
 public:
  using TMatch = std::function<bool(const TMessage&)>;
  // A message the owner handles as it comes (reports, copies); true: it is not kept.
  using TOnMessage = std::function<bool(const TMessage&)>;

  explicit TConn(TRun& run) : FRun(run), FSocket(run.Io), FNotify(run.Io), FId(++run.Connections) {}

  int Id() const { return FId; }
  bool Closed() const { return FClosed; }
  const asio::error_code& ConnectError() const { return FConnectError; }
  Millis ClosedAt() const { return FClosedAt; }
  bool ClosedByUs() const { return FByUs; }
  void SetOnMessage(TOnMessage fn) { FOnMessage = std::move(fn); }

  // False when the connection failed; ConnectError() says why.
  awaitable<bool> Connect() {
    asio::error_code ec;
    // Each connection from a loopback address of its own: the server caps the
    // connections that one address may hold.
    FSocket.open(tcp::v4(), ec);
    if (!ec)
      FSocket.bind(tcp::endpoint(asio::ip::address_v4(0x7F010001u + static_cast<std::uint32_t>(FId % 60000)), 0), ec);
    ec.clear();
    co_await FSocket.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), FRun.Opt.Port),
                                   asio::redirect_error(use_awaitable, ec));
    if (ec) {
      FConnectError = ec;
      FSocket.close(ec);
      co_return false;
    }
    FSocket.set_option(tcp::no_delay(true), ec);
    asio::co_spawn(FRun.Io, ReadLoop(), asio::detached);
    co_return true;
  }

  awaitable<bool> Send(std::uint8_t st, std::uint8_t cop, std::uint8_t ecr, std::string_view text,
                       std::uint8_t port = 0) {
    if (FClosed) co_return false;
    const std::string bytes = client::Frame(client::BuildMessage(st, cop, port, ecr, 0, text).view());
    asio::error_code ec;
    co_await asio::async_write(FSocket, asio::buffer(bytes), asio::redirect_error(use_awaitable, ec));
    if (ec) MarkClosed();
    co_return !ec;
  }

  // The oldest kept message that matches, claimed; nullopt when the connection closed or
  // the time ran out first.
  awaitable<std::optional<TMessage>> WaitFor(TMatch match, Millis timeoutMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      for (auto it = FInbox.begin(); it != FInbox.end(); ++it) {
        if (!match(*it)) continue;
        TMessage m = std::move(*it);
        FInbox.erase(it);
        co_return m;
      }
      if (FClosed || Clock::now() >= until) co_return std::nullopt;
      FNotify.expires_at(until);
      asio::error_code ec;
      co_await FNotify.async_wait(asio::redirect_error(use_awaitable, ec));
    }
  }

  // Drops kept messages that match (stale events, copies).
  long Discard(const TMatch& match) {
    const auto n = std::erase_if(FInbox, match);
    return static_cast<long>(n);
  }

  void Close() {
    asio::error_code ec;
    FSocket.close(ec);
    MarkClosed(true);
  }

 private:
  awaitable<void> ReadLoop() {
    std::array<char, 4096> buf{};
    for (;;) {
      asio::error_code ec;
      const std::size_t n =
          co_await FSocket.async_read_some(asio::buffer(buf), asio::redirect_error(use_awaitable, ec));
      if (ec) break;
      FReader.Feed(std::string_view(buf.data(), n), [this](std::string_view bytes) {
        TMessage m = client::Decode(bytes);
        if (FOnMessage && FOnMessage(m)) return;
        FInbox.push_back(std::move(m));
        if (FInbox.size() > 2000) FInbox.pop_front();
      });
      FNotify.cancel();
    }
    MarkClosed();
  }

  void MarkClosed(bool byUs = false) {
    if (FClosed) return;
    FClosed = true;
    FByUs = byUs;
    FClosedAt = NowMs();
    FNotify.cancel();
  }

  TRun& FRun;
  tcp::socket FSocket;
  asio::steady_timer FNotify;
  client::TFrameReader FReader;
  std::deque<TMessage> FInbox;
  TOnMessage FOnMessage;
  int FId;
  bool FClosed = false, FByUs = false;
  asio::error_code FConnectError;
  Millis FClosedAt = 0;
};

// ------------------------------------------------------------------ requests

struct TClientState {
  int Index = 0;
  std::string Role;
  Millis Deadline = 0;  // when the client must have moved on; 0: idle by choice
  bool Flagged = false;
  TConn* Conn = nullptr;
};

// A request whose answer did not come: still open when the run ended, cut by a restart,
// or a failure (the connection closed without a restart, or the answer never came).
// A cut connection, like a refused one, is judged at the end: the clients may hear of a
// cut before the signal that announced the restart has been handled.
void Lost(TRun& run, TKindStats& k, const TConn& c, const std::string& what) {
  if (run.Stopping) ++k.Open;
  else if (c.Closed()) run.Cuts.push_back({&k, c.ClosedAt(), what + (c.ClosedByUs() ? " (by the client)" : "")});
  else run.Problem(k.Hung, what + ": no answer in time");
}

void JudgeCuts(TRun& run) {
  for (const auto& cut : run.Cuts) {
    if (run.NearRestart(cut.At)) ++cut.Kind->Cut;
    else run.Problem(cut.Kind->Closed, cut.What + ": connection closed without a restart at " +
                                           std::to_string((cut.At - run.Start) / 1000) + " s");
  }
  for (const auto& r : run.Refusals) {
    if (!run.NearRestart(r.At, 30'000))
      run.Problem(run.Refused, "connection refused outside a restart at " +
                                   std::to_string((r.At - run.Start) / 1000) + " s: " + r.Why);
  }
}

// Sends a request and waits for the message that answers it. Counts the outcome by kind.
awaitable<std::optional<TMessage>> Request(TRun& run, TClientState& me, TConn& c, const std::string& kind,
                                           std::uint8_t st, std::uint8_t cop, std::uint8_t ecr,
                                           std::string_view text, TConn::TMatch match, Millis timeoutMs,
                                           std::uint8_t port = 0) {
  TKindStats& k = run.Kinds[kind];
  ++k.Sent;
  me.Deadline = NowMs() + timeoutMs + WATCHDOG_SLACK_MS;
  std::optional<TMessage> m;
  if (co_await c.Send(st, cop, ecr, text, port)) m = co_await c.WaitFor(std::move(match), timeoutMs);
  me.Deadline = 0;
  if (m) {
    ++k.Answered;
    ++k.Codes[m->Err];
  } else {
    Lost(run, k, c, kind + " (client " + std::to_string(me.Index) + ", set " + std::to_string(st) + ", ECR " +
                        std::to_string(ecr) + ")");
  }
  co_return m;
}

// The answer to a request of this client: its set, operation and ECR.
TConn::TMatch AnswerTo(std::uint8_t st, std::uint8_t cop, std::uint8_t ecr) {
  return [=](const TMessage& m) { return m.St == st && m.Cop == cop && m.Ecr == ecr; };
}

void ExpectCode(TRun& run, const std::optional<TMessage>& m, std::initializer_list<int> codes,
                const std::string& what) {
  if (!m) return;
  if (std::find(codes.begin(), codes.end(), m->Err) != codes.end()) return;
  run.Problem(run.WrongAnswers, what + ": unexpected answer " + Hex(*m));
}

awaitable<void> Pause(TRun& run, int loMs, int hiMs) {
  asio::steady_timer t(run.Io, std::chrono::milliseconds(run.Uniform(loMs, hiMs)));
  asio::error_code ec;
  co_await t.async_wait(asio::redirect_error(use_awaitable, ec));
}

std::uint8_t Ecr8(int ecr) { return static_cast<std::uint8_t>(ecr); }

// Takes a main or listening set; true when taken.
awaitable<bool> Take(TRun& run, TClientState& me, TConn& c, std::uint8_t st, int ecr) {
  const auto m = co_await Request(run, me, c, "take set", st, COP_REQ, Ecr8(ecr), run.Opt.Password + ";",
                                  AnswerTo(st, COP_REQ, Ecr8(ecr)), IMMEDIATE_MS);
  ExpectCode(run, m, {ERR_NO_ERROR, ERR_TAKEN}, "take set " + std::to_string(st));
  co_return m && m->Err == ERR_NO_ERROR;
}

awaitable<void> Release(TRun& run, TClientState& me, TConn& c, std::uint8_t st, int ecr) {
  const auto m = co_await Request(run, me, c, "release set", st, COP_DISC, Ecr8(ecr), "",
                                  AnswerTo(st, COP_DISC, Ecr8(ecr)), IMMEDIATE_MS);
  ExpectCode(run, m, {ERR_NO_ERROR}, "release set " + std::to_string(st));
}

// How a working session ends: a clean release, or the connection simply dropped;
// nothing more once the connection has gone.
awaitable<void> EndSession(TRun& run, TClientState& me, TConn& c, std::uint8_t st, int ecr) {
  if (c.Closed()) co_return;
  if (run.Chance(0.15)) c.Close();
  else co_await Release(run, me, c, st, ecr);
}

std::string Tag(const TClientState& me, long n) {
  // Upper case: the ECR's code table turns lower-case letters into upper case.
  return "T" + std::to_string(me.Index) + "X" + std::to_string(n) + ";";
}

// ------------------------------------------------------------------ the roles

// In-line commands on ST_RPR: queue, poll the phase, wait for the ECR's reply.
awaitable<void> InlineWork(TRun& run, TClientState& me, TConn& c) {
  static constexpr std::uint8_t OPS[] = {4, 5, 6, 8, 9, 10, 11};
  const int ecr = run.Uniform(INLINE_ECRS.From, INLINE_ECRS.To);
  if (!co_await Take(run, me, c, ST_RPR, ecr)) co_return;
  static long counter = 0;
  for (int n = run.Uniform(1, 8); n > 0 && !run.Stopping && !c.Closed(); --n) {
    const std::uint8_t op = OPS[run.Uniform(0, 6)];
    const std::string tag = Tag(me, ++counter);
    ++run.Kinds["in-line command"].Sent;
    if (!co_await c.Send(ST_RPR, op, Ecr8(ecr), tag)) break;
    if (run.Chance(0.5)) {
      const auto p = co_await Request(run, me, c, "phase", ST_RPR, COP_PHASE, Ecr8(ecr), "",
                                      AnswerTo(ST_RPR, COP_PHASE, Ecr8(ecr)), IMMEDIATE_MS);
      ExpectCode(run, p, {0, 101, 102}, "phase of set 5");
    }
    if (run.Chance(0.03)) {  // gone before the result came
      ++run.Kinds["in-line command"].Abandoned;
      c.Close();
      co_return;
    }
    me.Deadline = NowMs() + DEFERRED_MS + WATCHDOG_SLACK_MS;
    const auto r = co_await c.WaitFor(AnswerTo(ST_RPR, op, Ecr8(ecr)), DEFERRED_MS);
    me.Deadline = 0;
    TKindStats& k = run.Kinds["in-line command"];
    if (!r) {
      Lost(run, k, c, "in-line command (client " + std::to_string(me.Index) + ", ECR " + std::to_string(ecr) + ")");
      co_return;
    }
    ++k.Answered;
    ++k.Codes[r->Err];
    const std::string_view text = r->Text.view();
    if (!text.empty() && text.find(tag) == std::string_view::npos)
      run.Problem(run.Misrouted, "in-line result for another client: " + Hex(*r) + " (expected " + tag + ")");
    ExpectCode(run, r, {ERR_NO_ERROR, ERR_ECR_ERROR, ERR_TIMEOUT, ERR_NAK}, "in-line result");
    if (r->Err == ERR_ECR_ERROR && op != 10) run.Problem(run.WrongAnswers, "in-line refusal for a letter other than C");
    co_await Pause(run, 50, 800);
  }
  co_await EndSession(run, me, c, ST_RPR, ecr);
}

// A listener on ST_RPRL: copies of somebody's in-line work.
awaitable<void> InlineListen(TRun& run, TClientState& me, TConn& c) {
  const int ecr = run.Uniform(INLINE_ECRS.From, INLINE_ECRS.To);
  c.SetOnMessage([](const TMessage& m) { return m.St == ST_RPR; });  // copies: read, not kept
  if (!co_await Take(run, me, c, ST_RPRL, ecr)) co_return;
  co_await Pause(run, 2'000, 20'000);
  co_await EndSession(run, me, c, ST_RPRL, ecr);
}

// Reads the reports of one ECR on ST_ERS; a report never comes twice on one connection.
awaitable<void> ReadReports(TRun& run, TClientState& me, TConn& c) {
  const int ecr = run.Uniform(REPORT_ECRS.From, REPORT_ECRS.To);
  auto seen = std::make_shared<std::set<long>>();
  c.SetOnMessage([&run, seen, ecr](const TMessage& m) {
    if (m.St != ST_ERS || !IsReportEvent(m.Cop)) return false;
    ++run.ReportsRead;
    if (m.Ecr != ecr) run.Problem(run.Misrouted, "report of another ECR: " + Hex(m));
    if (const auto seq = SeqOf(m.Text.view()); seq && !seen->insert(*seq).second)
      run.Problem(run.WrongAnswers, "report received twice: " + Hex(m));
    return true;
  });
  if (!co_await Take(run, me, c, ST_ERS, ecr)) co_return;
  co_await Pause(run, 3'000, 40'000);
  co_await EndSession(run, me, c, ST_ERS, ecr);
}

// Answers the queries of one ECR on ST_ERS, ST_ECP or ST_ESR.
awaitable<void> AnswerQueries(TRun& run, TClientState& me, TConn& c) {
  static constexpr std::uint8_t SETS[] = {ST_ERS, ST_ECP, ST_ESR};
  const std::uint8_t st = SETS[run.Uniform(0, 2)];
  const int ecr = run.Uniform(QUERY_ECRS.From, QUERY_ECRS.To);
  const auto e = Ecr8(ecr);
  // Reports on the report set are read and let go.
  c.SetOnMessage([](const TMessage& m) { return m.St == ST_ERS && IsReportEvent(m.Cop); });
  if (!co_await Take(run, me, c, st, ecr)) co_return;
  auto isQuery = [st, e](const TMessage& m) { return m.St == st && m.Ecr == e && m.Cop >= 0x80 && m.Cop != SND_R; };
  const Millis until = NowMs() + run.Uniform(5'000, 60'000);
  static long counter = 0;
  while (!run.Stopping && !c.Closed() && NowMs() < until) {
    auto q = co_await c.WaitFor(isQuery, std::max<Millis>(until - NowMs(), 1));
    if (!q) break;
    ++run.QueriesSeen;
    run.QueriesSkipped += c.Discard(isQuery);  // only the newest query is still open
    if (run.Chance(0.003)) co_await Pause(run, 6'500, 7'000);  // too late on purpose
    else co_await Pause(run, 0, 300);
    const int pick = run.Uniform(0, 99);
    if (pick < 70 || st == ST_ESR) {
      const std::string tag = "A" + std::to_string(me.Index) + "X" + std::to_string(++counter) + ";";
      const auto a = co_await Request(run, me, c, "query answer", st, COP_ANSWER, e, tag,
                                      AnswerTo(st, COP_ANSWER, e), DEFERRED_MS);
      ExpectCode(run, a, {ERR_NO_ERROR, ERR_TOO_LATE, ERR_NAK, ERR_TIMEOUT}, "query answer");
      if (a && a->Err == ERR_NO_ERROR && a->Text.view() != tag)
        run.Problem(run.Misrouted, "query answer result for another client: " + Hex(*a));
    } else if (pick < 85) {
      const auto a = co_await Request(run, me, c, "query percentage", st, COP_PERC, e, "5;",
                                      AnswerTo(st, COP_PERC, e), DEFERRED_MS);
      ExpectCode(run, a, {ERR_NO_ERROR, ERR_TOO_LATE, ERR_NAK, ERR_TIMEOUT}, "query percentage");
    } else {
      const std::uint8_t cop = st == ST_ECP && run.Chance(0.5) ? COP_DFORBID : COP_FORBID;
      const auto a = co_await Request(run, me, c, "query refusal", st, cop, e, "", AnswerTo(st, cop, e),
                                      IMMEDIATE_MS);
      ExpectCode(run, a, {ERR_NO_ERROR, ERR_TOO_LATE}, "query refusal");
    }
  }
  co_await EndSession(run, me, c, st, ecr);
}

// Receipt steps on ST_REC (or ST_PCS, which keeps them in ST_REC): queue, wait for the
// interim result when the ECR took the step and for the final one with its next block.
awaitable<void> ReceiptWork(TRun& run, TClientState& me, TConn& c) {
  const bool pcs = run.Chance(0.3);
  const std::uint8_t st = pcs ? ST_PCS : ST_REC;
  const int ecr = run.Uniform(RECEIPT_ECRS.From, RECEIPT_ECRS.To);
  const auto e = Ecr8(ecr);
  if (!co_await Take(run, me, c, st, ecr)) co_return;
  static long counter = 0;
  for (int n = run.Uniform(1, 8); n > 0 && !run.Stopping && !c.Closed(); --n) {
    static constexpr std::uint8_t REC_OPS[] = {4, 4, 5, 6, 6, 8, 9, 10, 11, 12};
    static constexpr std::uint8_t PCS_OPS[] = {4, 4, 5, 6};
    const std::uint8_t op = pcs ? PCS_OPS[run.Uniform(0, 3)] : REC_OPS[run.Uniform(0, 9)];
    // A receipt is finished by operation 6 with no text; with a text it only writes it.
    const std::string tag = op == 6 && run.Chance(0.5) ? "" : op == 12 ? "" : Tag(me, ++counter);
    ++run.Kinds["receipt step"].Sent;
    if (!co_await c.Send(st, op, e, tag)) break;
    if (run.Chance(0.3)) {
      const auto p = co_await Request(run, me, c, "phase", st, COP_PHASE, e, "", AnswerTo(st, COP_PHASE, e),
                                      IMMEDIATE_MS);
      ExpectCode(run, p, {0, 101, 102}, "phase of the receipt set");
    }
    TKindStats& k = run.Kinds["receipt step"];
    auto first = [st, e, op](const TMessage& m) {
      return m.St == st && m.Ecr == e && (m.Cop == op || m.Cop == SND_R || m.Cop == 0);
    };
    me.Deadline = NowMs() + DEFERRED_MS + WATCHDOG_SLACK_MS;
    auto r = co_await c.WaitFor(first, DEFERRED_MS);
    me.Deadline = 0;
    if (!r) {
      Lost(run, k, c, "receipt step (client " + std::to_string(me.Index) + ", ECR " + std::to_string(ecr) +
                          ", operation " + std::to_string(op) + ")");
      co_return;
    }
    ++k.Answered;
    ++k.Codes[r->Err];
    const std::string_view text = r->Text.view();
    const bool mine = tag.empty() ? text.find(SerialOf(ecr) + ";") != std::string_view::npos
                                  : text.substr(0, tag.size()) == tag;
    if (!text.empty() && !mine)
      run.Problem(run.Misrouted, "receipt result for another client: " + Hex(*r) + " (expected " +
                                     (tag.empty() ? SerialOf(ecr) : tag) + ")");
    ExpectCode(run, r, {ERR_NO_ERROR, ERR_NAK, ERR_TIMEOUT}, "receipt step");
    if (r->Cop == SND_R || r->Cop == 0) {  // parked until the ECR's next block confirms it
      me.Deadline = NowMs() + DEFERRED_MS + WATCHDOG_SLACK_MS;
      const auto f = co_await c.WaitFor(AnswerTo(st, op, e), DEFERRED_MS);
      me.Deadline = 0;
      if (f) {
        ++run.ParkedFinals;
        if (f->Err == ERR_NOT_EXECUTED) ++run.NotExecuted;
        ExpectCode(run, f, {ERR_NO_ERROR, ERR_NOT_EXECUTED}, "final receipt result");
      } else if (!c.Closed() && !run.Stopping) {
        run.Problem(k.Hung, "receipt step: no final result in time (client " + std::to_string(me.Index) +
                                ", ECR " + std::to_string(ecr) + ")");
      }
    }
    co_await Pause(run, 50, 800);
  }
  co_await EndSession(run, me, c, st, ecr);
}

// Requests the server must refuse, each with its own code.
awaitable<void> Misbehave(TRun& run, TClientState& me, TConn& c) {
  const int ecr = run.Uniform(1, MAX_ECR_COUNT);
  const auto e = Ecr8(ecr);
  switch (run.Uniform(0, 5)) {
    case 0: {
      const auto m = co_await Request(run, me, c, "bad request", 16, COP_REQ, e, "", AnswerTo(16, COP_REQ, e),
                                      IMMEDIATE_MS, 2);
      ExpectCode(run, m, {ERR_UNKNOWN_SET}, "unknown set");
      if (m && m->Port != 2) run.Problem(run.WrongAnswers, "the port byte was not echoed: " + Hex(*m));
      break;
    }
    case 1: {
      const auto m = co_await Request(run, me, c, "bad request", ST_ERS, 13, e, "", AnswerTo(ST_ERS, 13, e),
                                      IMMEDIATE_MS);
      ExpectCode(run, m, {ERR_UNKNOWN_COMMAND}, "unknown operation");
      break;
    }
    case 2: {
      const auto m = co_await Request(run, me, c, "bad request", ST_ERS, COP_REQ, 0, "pw;",
                                      AnswerTo(ST_ERS, COP_REQ, 0), IMMEDIATE_MS);
      ExpectCode(run, m, {ERR_ECRNO}, "ECR 0");
      break;
    }
    case 3: {
      const auto m = co_await Request(run, me, c, "bad request", ST_RPR, COP_PHASE, e, "",
                                      AnswerTo(ST_RPR, COP_PHASE, e), IMMEDIATE_MS);
      ExpectCode(run, m, {ERR_NOT_YOURS}, "phase of a set not held");
      break;
    }
    case 4: {
      const auto m = co_await Request(run, me, c, "bad request", ST_TPR, COP_REQ, e, "wrong;",
                                      AnswerTo(ST_TPR, COP_REQ, e), IMMEDIATE_MS);
      ExpectCode(run, m, {ERR_PASSWORD, ERR_TAKEN}, "wrong password");
      break;
    }
    default: {
      const auto m = co_await Request(run, me, c, "bad request", ST_ECP, COP_ANSWER, e, "x;",
                                      AnswerTo(ST_ECP, COP_ANSWER, e), IMMEDIATE_MS);
      ExpectCode(run, m, {ERR_NOT_YOURS}, "answer on a set not held");
      break;
    }
  }
  co_await Pause(run, 100, 2'000);
  if (run.Chance(0.2)) c.Close();
}

// The watcher: the listening sets of every on-line ECR, on one connection that is never
// dropped on purpose. Everything numbered passes it in the server's order.
awaitable<void> Watch(TRun& run, TClientState& me, TConn& c) {
  // Messages on main sets are copies; the watcher's own answers come on listening sets.
  c.SetOnMessage([&run, id = c.Id()](const TMessage& m) {
    if (m.St % 2 == 0) return false;
    const std::string_view text = m.Text.view();
    const auto b = LastNumber(text);
    if (m.St == ST_ERS && IsReportEvent(m.Cop)) {
      if (const auto seq = SeqOf(text)) run.Reports.Received(m.Ecr, *seq, id);
      if (b) run.Receipts.Seen(m.Ecr, *b, IsClosingReport(m.Cop), NowMs() - run.Start);
    } else if ((m.St == ST_ERS || m.St == ST_ECP || m.St == ST_ESR) && m.Cop >= 0x80 && m.Cop != SND_R) {
      if (b) run.Receipts.Seen(m.Ecr, *b, false, NowMs() - run.Start);  // a query
    } else if ((m.St == ST_REC || m.St == ST_PCS) && m.Err == ERR_NO_ERROR && !text.empty()) {
      // Interim results and operation 12 are new; a final result repeats its interim one
      // and only tells that operation 6 without text finished the receipt.
      const bool final = m.Cop != SND_R && m.Cop != COP_NMBR;
      if (b && (!final || (m.Cop == COP_TOTAL && Fields(text).size() == 4)))
        run.Receipts.Seen(m.Ecr, *b, final, NowMs() - run.Start);
    }
    return true;
  });
  std::vector<std::pair<int, Millis>> held;
  for (int ecr = ONLINE_ECRS.From; ecr <= ONLINE_ECRS.To && !c.Closed(); ++ecr) {
    for (const std::uint8_t st : {ST_ERSL, ST_ECPL, ST_KSRL, ST_RECL}) {
      if (!co_await Take(run, me, c, st, ecr)) {
        if (!c.Closed()) run.Problem(run.WrongAnswers, "the watcher could not take a listening set");
        continue;
      }
      if (st == ST_ERSL) held.emplace_back(ecr, NowMs());
    }
  }
  while (!c.Closed() && !run.Stopping) {
    me.Deadline = 0;
    co_await Pause(run, 200, 200);
  }
  const Millis end = c.Closed() ? c.ClosedAt() : NowMs() + 2'000;  // the run's end: drained below
  for (const auto& [ecr, from] : held) run.Reports.Held(ecr, from, end);
  if (!c.Closed()) co_await Pause(run, 2'500, 2'500);  // the last reports still on their way
}

// ------------------------------------------------------------------ clients

using TRole = awaitable<void> (*)(TRun&, TClientState&, TConn&);

awaitable<void> ClientLife(TRun& run, std::shared_ptr<TClientState> me, TRole role, bool watcher) {
  ++run.Active;
  co_await Pause(run, 0, watcher ? 0 : 3'000);  // not all at once
  while (!run.Stopping) {
    TConn c(run);
    me->Conn = &c;
    me->Deadline = NowMs() + 30'000;
    const bool up = co_await c.Connect();
    me->Deadline = 0;
    if (!up) {
      run.Refusals.push_back({NowMs(), c.ConnectError().message()});
      co_await Pause(run, 200, 1'000);
      continue;
    }
    if (watcher) ++run.WatcherReconnects;
    // One connection may serve several sessions in a row.
    do {
      co_await role(run, *me, c);
    } while (!c.Closed() && !run.Stopping && run.Chance(0.5));
    if (!c.Closed() && !watcher) c.Close();
    if (watcher) {
      while (!c.Closed() && !run.Stopping) co_await Pause(run, 100, 100);
    }
    me->Conn = nullptr;
    c.Close();
    if (!run.Stopping) co_await Pause(run, 100, 2'000);
  }
  me->Deadline = 0;
  --run.Active;
}

// How late the event loop runs: every 100 ms it should wake; more shows a starved process.
awaitable<void> LagMeter(TRun& run) {
  asio::steady_timer t(run.Io);
  while (!run.Stopping) {
    const Millis due = NowMs() + 100;
    t.expires_after(100ms);
    asio::error_code ec;
    co_await t.async_wait(asio::redirect_error(use_awaitable, ec));
    run.MaxLag = std::max(run.MaxLag, NowMs() - due);
  }
}

// Ends the run: clients finish the step they are in (5 s at most), the rest is closed.
awaitable<void> Finish(TRun& run, asio::signal_set& restarts, std::vector<std::shared_ptr<TClientState>>& clients) {
  asio::steady_timer t(run.Io, std::chrono::seconds(run.Opt.Seconds));
  asio::error_code ec;
  co_await t.async_wait(asio::redirect_error(use_awaitable, ec));
  run.Stopping = true;
  restarts.cancel();
  for (const Millis until = NowMs() + 5'000; run.Active > 0 && NowMs() < until;) {
    t.expires_after(100ms);
    co_await t.async_wait(asio::redirect_error(use_awaitable, ec));
  }
  for (auto& c : clients)
    if (c->Conn) c->Conn->Close();
  t.expires_after(500ms);
  co_await t.async_wait(asio::redirect_error(use_awaitable, ec));
  run.Io.stop();
}

// Once a second: a client past its deadline (plus slack) is stalled; its connection is
// closed so that it moves on.
awaitable<void> Watchdog(TRun& run, std::vector<std::shared_ptr<TClientState>>& clients) {
  asio::steady_timer t(run.Io);
  while (!run.Stopping) {
    t.expires_after(1s);
    asio::error_code ec;
    co_await t.async_wait(asio::redirect_error(use_awaitable, ec));
    const Millis now = NowMs();
    for (auto& c : clients) {
      if (c->Deadline == 0 || now <= c->Deadline || c->Flagged) continue;
      c->Flagged = true;
      run.Problem(run.Stalled, "client " + std::to_string(c->Index) + " (" + c->Role + ") stalled");
      if (c->Conn) c->Conn->Close();
    }
  }
}

void PrintRow(const std::string& check, const std::string& figures, bool ok) {
  std::printf("| %-34s | %-100s | %-4s |\n", check.c_str(), figures.c_str(), ok ? "ok" : "FAIL");
}

std::string Codes(const std::map<int, long>& codes) {
  std::string s;
  for (const auto& [code, n] : codes) s += (s.empty() ? "" : " ") + std::to_string(code) + ":" + std::to_string(n);
  return s.empty() ? "-" : s;
}

void JudgeCuts(TRun& run);

int Report(TRun& run) {
  JudgeCuts(run);
  // The simulator's journal up to the end of the run, less the last seconds.
  if (!run.Opt.Journal.empty()) {
    std::ifstream in(run.Opt.Journal);
    for (std::string line; std::getline(in, line);) run.Reports.JournalLine(line);
  }
  const Millis cutoff = NowMs() - 3'000;
  const auto rep = run.Reports.Reconcile(run.Windows, cutoff, 1'000, 5'000);

  std::printf("\necrsoak: %d clients, %d s, %zu restarts seen, seed %u\n", run.Opt.Clients, run.Opt.Seconds,
              run.Windows.size(), run.Opt.Seed);
  std::printf("| %-34s | %-100s | %-4s |\n", "check", "figures", "");
  std::printf("|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(102, '-').c_str(), std::string(6, '-').c_str());
  long sent = 0, answered = 0, cut = 0, abandoned = 0, hung = 0, closed = 0;
  for (const auto& [kind, k] : run.Kinds) {
    sent += k.Sent;
    answered += k.Answered;
    cut += k.Cut;
    abandoned += k.Abandoned;
    hung += k.Hung;
    closed += k.Closed;
    char buf[200];
    std::snprintf(buf, sizeof buf, "sent %ld, answered %ld (codes %s), cut by restarts %ld, dropped %ld, open %ld",
                  k.Sent, k.Answered, Codes(k.Codes).c_str(), k.Cut, k.Abandoned, k.Open);
    PrintRow("  " + kind, buf, k.Hung == 0 && k.Closed == 0);
  }
  long open = 0;
  for (const auto& [kind, k] : run.Kinds) open += k.Open;
  char buf[300];
  std::snprintf(buf, sizeof buf, "sent %ld, answered %ld, cut by restarts %ld, dropped by the client %ld, "
                "open at the end %ld, unanswered %ld, cut without restart %ld",
                sent, answered, cut, abandoned, open, hung, closed);
  PrintRow("every request answered", buf, hung == 0 && closed == 0);
  std::snprintf(buf, sizeof buf, "unexpected codes %ld; results to another client %ld; parked finals %ld (not executed %ld)",
                run.WrongAnswers, run.Misrouted, run.ParkedFinals, run.NotExecuted);
  PrintRow("answers right, results to owner", buf, run.WrongAnswers == 0 && run.Misrouted == 0);
  std::snprintf(buf, sizeof buf, "taken by ECRs %ld; expected at watcher %ld, received %ld, missing %ld; "
                "excused %ld; twice %ld; readers got %ld",
                rep.Taken, rep.Expected, rep.Received, rep.Missing, rep.Excused, rep.Duplicates, run.ReportsRead);
  PrintRow("reports reached set holders", buf, rep.Missing == 0 && rep.Duplicates == 0 && rep.Expected > 0);
  std::snprintf(buf, sizeof buf, "numbers seen %ld, receipts finished %ld; on two ECRs %zu; again after finished %zu",
                run.Receipts.Numbers(), run.Receipts.Closed(), run.Receipts.OnTwoEcrs().size(),
                run.Receipts.Reused().size());
  const bool receiptsOk = run.Receipts.OnTwoEcrs().empty() && run.Receipts.Reused().empty();
  PrintRow("no receipt number twice", buf, receiptsOk && run.Receipts.Numbers() > 0);
  std::snprintf(buf, sizeof buf, "stalled clients %ld; refused connections %ld; watcher connections %ld; "
                "queries seen %ld (%ld superseded); client loop late by %lld ms at most",
                run.Stalled, run.Refused, run.WatcherReconnects, run.QueriesSeen, run.QueriesSkipped,
                static_cast<long long>(run.MaxLag));
  PrintRow("nothing hung (watchdog)", buf, run.Stalled == 0 && run.Refused == 0);

  std::vector<std::string> details = run.Problems;
  std::string restarts;
  for (const auto& w : run.Windows)
    restarts += " " + std::to_string((w.From - run.Start) / 1000) + "-" + std::to_string((w.To - run.Start) / 1000) + "s";
  if (!restarts.empty()) details.insert(details.begin(), "restarts at" + restarts);
  for (const auto& s : rep.MissingList) details.push_back("missing " + s);
  for (const auto& s : run.Receipts.OnTwoEcrs()) details.push_back(s);
  for (const auto& s : run.Receipts.Reused()) details.push_back(s);
  if (!details.empty()) {
    std::printf("\necrsoak: details (first ones):\n");
    for (std::size_t i = 0; i < details.size() && i < 60; ++i) std::printf("  %s\n", details[i].c_str());
  }
  const bool ok = hung == 0 && closed == 0 && run.WrongAnswers == 0 && run.Misrouted == 0 && rep.Missing == 0 &&
                  rep.Duplicates == 0 && rep.Expected > 0 && receiptsOk && run.Receipts.Numbers() > 0 &&
                  run.Stalled == 0 && run.Refused == 0;
  std::printf("ecrsoak: %s\n", ok ? "all checks passed" : "CHECKS FAILED");
  std::fflush(stdout);
  return ok ? 0 : 1;
}

int RunSoak(const TOptions& opt) {
  TRun run;
  run.Opt = opt;
  run.Random.seed(opt.Seed);
  run.Start = NowMs();

  asio::signal_set restarts(run.Io, SIGUSR1, SIGUSR2);
  std::function<void()> waitSignal = [&] {
    restarts.async_wait([&](const asio::error_code& ec, int sig) {
      if (ec) return;
      if (sig == SIGUSR1) run.Windows.push_back({NowMs(), 0});
      else if (!run.Windows.empty() && run.Windows.back().To == 0) run.Windows.back().To = NowMs();
      waitSignal();
    });
  };
  waitSignal();

  struct TShare {
    const char* Name;
    TRole Role;
    double Part;
  };
  const TShare shares[] = {
      {"in-line worker", InlineWork, 0.26},   {"in-line listener", InlineListen, 0.05},
      {"report reader", ReadReports, 0.17},   {"query answerer", AnswerQueries, 0.24},
      {"receipt worker", ReceiptWork, 0.26},  {"misbehaving", Misbehave, 0.02},
  };
  std::vector<std::shared_ptr<TClientState>> clients;
  auto add = [&](const char* name, TRole role, bool watcher) {
    auto me = std::make_shared<TClientState>();
    me->Index = static_cast<int>(clients.size()) + 1;
    me->Role = name;
    clients.push_back(me);
    asio::co_spawn(run.Io, ClientLife(run, me, role, watcher), asio::detached);
  };
  add("watcher", Watch, true);
  for (const auto& s : shares)
    for (int i = 0; i < std::max(1, static_cast<int>(s.Part * (opt.Clients - 1))); ++i) add(s.Name, s.Role, false);
  asio::co_spawn(run.Io, Watchdog(run, clients), asio::detached);

  asio::co_spawn(run.Io, LagMeter(run), asio::detached);
  asio::co_spawn(run.Io, Finish(run, restarts, clients), asio::detached);
  run.Io.run();
  return Report(run);
}

}  // namespace
}  // namespace kassiro::soak

int main(int argc, char** argv) {
  using namespace kassiro::soak;
  using asio::ip::tcp;
  CLI::App app{"ecrsoak: the clients of the soak run"};
  TOptions opt;
  bool script = false, freePort = false;
  app.add_flag("--script", script, "Print the simulator script of the run's 99 ECRs and end");
  app.add_flag("--free-port", freePort, "Print a TCP port that is free now and end");
  app.add_option("--port", opt.Port, "The server's TCP port on 127.0.0.1");
  app.add_option("--seconds", opt.Seconds, "Length of the run")->check(CLI::Range(1, 86400));
  app.add_option("--clients", opt.Clients, "Client connections (the watcher included)")->check(CLI::Range(8, 480));
  app.add_option("--seed", opt.Seed, "Seed of the clients' choices");
  app.add_option("--journal", opt.Journal, "The simulator's journal of the blocks its ECRs sent");
  app.add_option("--password", opt.Password, "Password of every set");
  CLI11_PARSE(app, argc, argv);
  if (script) {
    std::cout << SimScript();
    return 0;
  }
  if (freePort) {  // the server must keep one port across its restarts
    asio::io_context io;
    tcp::acceptor a(io, tcp::endpoint(tcp::v4(), 0));
    std::cout << a.local_endpoint().port() << std::endl;
    return 0;
  }
  if (opt.Port == 0) {
    std::cerr << "ecrsoak: --port is required\n";
    return 2;
  }
  return RunSoak(opt);
}
