// The whole server end to end: TCP clients -> TKassiroServer -> polling thread ->
// serial line (a pseudo-terminal) -> simulated ECRs. Each test gets a temporary
// folder for the server's files, a simulator running its own script, a server started
// on the simulator's line and as many loopback clients as it connects.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Pty.h"
#include "TcpClient.h"
#include "TempDir.h"
#include "server/KassiroServer.h"
#include "ecrsim/SimRunner.h"

namespace kassiro::e2e {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using kassiro::testing::TcpClient;
using kassiro::testing::TempDir;

// Generous: every wait ends as soon as what it waits for has happened.
inline constexpr auto Deadline = 20s;
inline constexpr int LineSpeed = 38400;

// "05 04 00 02 00 \"0;\"": the head in hex, the text quoted (other bytes as \xHH).
std::string Show(std::string_view msg);
// A message: head ST COP 00 EcrNo ErrC, then the text.
std::string Msg(int st, int cop, int ecr, int err, std::string_view text = {});
// One message framed for the wire: its length byte first.
std::string Wire(std::string_view msg);

// Lines from several threads, and waits for a condition on them.
class TJournal {
 public:
  void Add(std::string line);
  Lines Snapshot() const;
  std::size_t Count(std::string_view line) const;
  std::size_t CountPrefix(std::string_view prefix) const;
  bool WaitFor(const std::function<bool(const Lines&)>& pred,
               std::chrono::milliseconds timeout = Deadline);
  bool WaitForCount(std::string_view line, std::size_t n);

 private:
  mutable std::mutex FMu;
  std::condition_variable FCv;
  Lines FLines;
};

// The ECRs' end of the pseudo-terminal, with switches on what the ECRs write. Muted:
// everything is swallowed (an ECR that heard a frame but never acknowledges it). Held:
// after `pass` more writes the next one waits until released, or for at most `bound`
// (an ECR that acknowledges or replies late).
class TMutableLine final : public ecrsim::TSimLine {
 public:
  explicit TMutableLine(TPty& pty) : FInner(pty) {}
  std::size_t Read(std::span<std::uint8_t> buf, int timeoutMs) override {
    return FInner.Read(buf, timeoutMs);
  }
  bool Write(std::span<const std::uint8_t> bytes) override {
    if (FMuted) return true;
    WaitIfHeld();
    return FInner.Write(bytes);
  }
  void SetMuted(bool muted) { FMuted = muted; }
  void Hold(int pass, std::chrono::milliseconds bound);
  void ReleaseHold();

 private:
  void WaitIfHeld();

  ecrsim::TPtyLine FInner;
  std::atomic<bool> FMuted{false};
  std::mutex FHoldMu;
  std::condition_variable FHoldCv;
  int FPass = -1;  // writes still let through before the held one; -1: not holding
  bool FReleased = false;
  std::chrono::milliseconds FBound{0};
};

// A serial adapter with ECR 2 (serial 004711) simulated on its far end: a
// pseudo-terminal of its own, and what the ECR heard.
struct TSimAdapter {
  TSimAdapter()
      : Sim(ecrsim::ParseSimScript("ecr 2 serial 004711\n", "line"), Line,
            ecrsim::TRunOptions{.Speed = LineSpeed}) {
    Sim.SetObserver([this](const ecrsim::TLineEvent& e) {
      if (e.Kind != ecrsim::TLineEventKind::Filler) Heard.Add(ecrsim::Describe(e));
    });
    Sim.Start();
  }
  ~TSimAdapter() { Sim.Stop(); }  // before the pseudo-terminal goes

  TPty Pty;
  ecrsim::TPtyLine Line{Pty};
  TJournal Heard;
  ecrsim::TSimRunner Sim;
};

class E2eTest : public ::testing::Test {
 protected:
  static constexpr const char* Password = "pw";

  void TearDown() override;

  // Starts the simulator with the script and the server on its line. The settings the
  // server starts with: 38400 baud, an ephemeral TCP port, the password "pw" for every
  // set, code table 1, then whatever adjust changes.
  void Start(std::string_view script, const std::function<void(TIniStru&)>& adjust = {});
  TcpClient& Connect();

  // The next message of a client, shown as Show() does, or "(no message)".
  static std::string Recv(TcpClient& c);
  // Sends a request and expects exactly `answer` as the client's next message.
  void Request(TcpClient& c, std::string_view request, std::string_view answer);

  // The simulated ECRs swallow everything after the next command frame they hear
  // until the line is released: that frame is never acknowledged.
  void MuteAfterNextFrame() { FMuteArmed = true; }
  // After the next frame they hear, the simulated ECRs write `pass` times as usual and
  // then hold their next write until ReleaseHold(), or for at most `bound`.
  void HoldAfterNextFrame(int pass, std::chrono::milliseconds bound);
  void ReleaseHold() { FLine.ReleaseHold(); }
  // Stops and starts the server, as the operator or a SIGHUP does; clients are dropped.
  void RestartServer();
  bool AddSimFault(int ecr, ecrsim::TFaultKind kind, int count);

  // Waits until the simulated ECR has sent a frame with this payload `times` times.
  bool WaitForSimSent(int ecr, std::string_view payload, std::size_t times = 1);
  // Waits until the server's log file holds the text.
  bool WaitForLog(std::string_view text);
  // Waits until pred holds on the session records (checked under the session lock).
  bool WaitForSession(const std::function<bool(Session&)>& pred);
  template <typename F>
  auto WithSession(F&& f) {
    std::lock_guard lock(FServer->GetSession().Lock);
    return f(FServer->GetSession());
  }

  std::filesystem::path ExePath() const { return FDir.path() / "kassirod"; }

  TempDir FDir;
  TPty FPty;
  TMutableLine FLine{FPty};
  TJournal FSimHeard;  // what the ECRs received: "take 03", "frame R12; crc ok", "release", ...
  TJournal FSimLog;    // the simulator's own log, shown when a test fails
  // When the ECRs last heard a take, for bounds on how soon polling stops.
  std::atomic<std::chrono::steady_clock::time_point> FLastTake{};
  std::atomic<bool> FMuteArmed{false};
  std::atomic<bool> FHoldArmed{false};
  int FHoldPass = 0;
  std::chrono::milliseconds FHoldBound{0};
  std::unique_ptr<ecrsim::TSimRunner> FSim;
  std::unique_ptr<TKassiroServer> FServer;
  std::vector<std::unique_ptr<TcpClient>> FClients;

 private:
  void OnSimEvent(const ecrsim::TLineEvent& e);
};

}  // namespace kassiro::e2e
