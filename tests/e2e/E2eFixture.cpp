#include "E2eFixture.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "ServerInFolder.h"
#include "core/LogFile.h"

namespace kassiro::e2e {

std::string Show(std::string_view msg) {
  std::string out;
  char buf[8];
  const std::size_t head = std::min<std::size_t>(msg.size(), 5);
  for (std::size_t i = 0; i < head; ++i) {
    std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", static_cast<std::uint8_t>(msg[i]));
    out += buf;
  }
  if (msg.size() <= head) return out;
  out += " \"";
  for (const char ch : msg.substr(head)) {
    const auto c = static_cast<std::uint8_t>(ch);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += ch;
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out + "\"";
}

std::string Msg(int st, int cop, int ecr, int err, std::string_view text) {
  std::string m{static_cast<char>(st), static_cast<char>(cop), '\0', static_cast<char>(ecr),
                static_cast<char>(err)};
  return m.append(text);
}

std::string Wire(std::string_view msg) {
  return std::string(1, static_cast<char>(msg.size())).append(msg);
}

// --- TJournal ---

void TJournal::Add(std::string line) {
  {
    std::lock_guard lock(FMu);
    FLines.push_back(std::move(line));
  }
  FCv.notify_all();
}

Lines TJournal::Snapshot() const {
  std::lock_guard lock(FMu);
  return FLines;
}

std::size_t TJournal::Count(std::string_view line) const {
  std::lock_guard lock(FMu);
  return static_cast<std::size_t>(std::count(FLines.begin(), FLines.end(), line));
}

std::size_t TJournal::CountPrefix(std::string_view prefix) const {
  std::lock_guard lock(FMu);
  return static_cast<std::size_t>(std::count_if(
      FLines.begin(), FLines.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
}

bool TJournal::WaitFor(const std::function<bool(const Lines&)>& pred,
                       std::chrono::milliseconds timeout) {
  std::unique_lock lock(FMu);
  return FCv.wait_for(lock, timeout, [&] { return pred(FLines); });
}

bool TJournal::WaitForCount(std::string_view line, std::size_t n) {
  return WaitFor([&](const Lines& l) {
    return static_cast<std::size_t>(std::count(l.begin(), l.end(), line)) >= n;
  });
}

// --- TMutableLine ---

void TMutableLine::Hold(int pass, std::chrono::milliseconds bound) {
  std::lock_guard lock(FHoldMu);
  FPass = pass;
  FReleased = false;
  FBound = bound;
}

void TMutableLine::ReleaseHold() {
  {
    std::lock_guard lock(FHoldMu);
    FReleased = true;
  }
  FHoldCv.notify_all();
}

void TMutableLine::WaitIfHeld() {
  std::unique_lock lock(FHoldMu);
  if (FPass < 0) return;
  if (FPass > 0) {
    --FPass;
    return;
  }
  FHoldCv.wait_for(lock, FBound, [this] { return FReleased; });
  FPass = -1;
}

// --- E2eTest ---

void E2eTest::Start(std::string_view script, const std::function<void(TIniStru&)>& adjust) {
  BindProgramLog(ExePath());
  FSim = std::make_unique<ecrsim::TSimRunner>(ecrsim::ParseSimScript(script, "e2e"), FLine,
                                              ecrsim::TRunOptions{.Speed = LineSpeed});
  FSim->SetLog([this](std::string_view line) { FSimLog.Add(std::string(line)); });
  FSim->SetObserver([this](const ecrsim::TLineEvent& e) { OnSimEvent(e); });
  FSim->Start();

  FServer = testing::StartServerInFolder(ExePath(), FPty.SlavePath(), LineSpeed, Password, adjust);
  ASSERT_TRUE(FServer->Started());
  ASSERT_NE(FServer->ListeningPort(), 0);
}

void E2eTest::OnSimEvent(const ecrsim::TLineEvent& e) {
  using K = ecrsim::TLineEventKind;
  if (e.Kind == K::Filler || e.Kind == K::Noise) return;
  // Runs before the engine acts on the event, so the switch catches its answer.
  if (e.Kind == K::Frame && FMuteArmed.exchange(false)) FLine.SetMuted(true);
  if (e.Kind == K::Frame && FHoldArmed.exchange(false)) FLine.Hold(FHoldPass, FHoldBound);
  if (e.Kind == K::Release) FLine.SetMuted(false);
  if (e.Kind == K::Take) FLastTake = std::chrono::steady_clock::now();
  FSimHeard.Add(ecrsim::Describe(e));
}

void E2eTest::TearDown() {
  FLine.ReleaseHold();
  FClients.clear();
  FServer.reset();  // stops polling and closes the line before the ECRs go
  if (FSim) FSim->Stop();
  if (HasFailure()) {
    const Lines log = FSimLog.Snapshot();
    const std::size_t from = log.size() > 60 ? log.size() - 60 : 0;
    std::string tail;
    for (std::size_t i = from; i < log.size(); ++i) tail += "  " + log[i] + "\n";
    std::printf("Simulator log (last %zu lines):\n%s", log.size() - from, tail.c_str());
  }
  FSim.reset();
}

void E2eTest::HoldAfterNextFrame(int pass, std::chrono::milliseconds bound) {
  FHoldPass = pass;
  FHoldBound = bound;
  FHoldArmed = true;  // published after the values it carries
}

void E2eTest::RestartServer() {
  FServer->StopKassiro();
  FServer->StartKassiro();
  ASSERT_TRUE(FServer->Started());
  ASSERT_NE(FServer->ListeningPort(), 0);
}

TcpClient& E2eTest::Connect() {
  FClients.push_back(std::make_unique<TcpClient>(FServer->ListeningPort()));
  return *FClients.back();
}

std::string E2eTest::Recv(TcpClient& c) {
  const auto msg = c.Next(Deadline);
  return msg ? Show(*msg) : std::string("(no message)");
}

void E2eTest::Request(TcpClient& c, std::string_view request, std::string_view answer) {
  ASSERT_TRUE(c.Send(request));
  EXPECT_EQ(Recv(c), Show(answer)) << "answer to " << Show(request);
}

bool E2eTest::AddSimFault(int ecr, ecrsim::TFaultKind kind, int count) {
  return FSim->WithEngine([&](ecrsim::TSimEngine& engine) { return engine.AddFault(ecr, kind, count); });
}

bool E2eTest::WaitForSimSent(int ecr, std::string_view payload, std::size_t times) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "-> %02d frame ", ecr);
  const std::string sent = tag + std::string(payload);
  return FSimLog.WaitFor([&](const Lines& log) {
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& l) {
             return l.ends_with(sent);
           })) >= times;
  });
}

bool E2eTest::WaitForLog(std::string_view text) {
  const auto until = std::chrono::steady_clock::now() + Deadline;
  const auto logPath = FDir.path() / "kassirod.log";
  for (;;) {
    if (testing::ReadFile(logPath).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);  // the log has no notification: look again
  }
}

bool E2eTest::WaitForSession(const std::function<bool(Session&)>& pred) {
  const auto until = std::chrono::steady_clock::now() + Deadline;
  for (;;) {
    if (WithSession(pred)) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);  // the records have no notification: look again
  }
}

}  // namespace kassiro::e2e
