// The computer's side of the ECR line (TSimpleComObject, TPolThread) against simulated
// ECRs over a pseudo-terminal made by the test: real termios, no hardware. The computer's
// side keeps time on a slowed clock: its reply windows of about 100 ms would otherwise
// be missed whenever a busy machine keeps the simulator's thread from running that long.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ecrlink/PolObj.h"
#include "ecrlink/ProtConst.h"
#include "ecrlink/SimpleComObject.h"
#include "ecrsim/SimRunner.h"
#include "Pty.h"
#include "SlowClock.h"

namespace kassiro {
namespace {

using namespace std::chrono_literals;
using namespace kassiro::ecrsim;
using Lines = std::vector<std::string>;

constexpr auto Deadline = 60s;  // generous: the machine may be busy, the windows are wide
// Each millisecond of the computer's protocol windows lasts this many real ones.
constexpr int Slowdown = 20;
// The slowest table speed gives the widest reply windows (150 ms after a take).
constexpr int Speed = 1200;

// Lines from several threads, and a wait for a condition on them.
class TJournal {
 public:
  void Add(std::string s) {
    {
      std::lock_guard lock(FMu);
      FLines.push_back(std::move(s));
    }
    FCv.notify_all();
  }
  Lines Snapshot() const {
    std::lock_guard lock(FMu);
    return FLines;
  }
  bool WaitFor(const std::function<bool(const Lines&)>& pred, std::chrono::milliseconds timeout = Deadline) {
    std::unique_lock lock(FMu);
    return FCv.wait_for(lock, timeout, [&] { return pred(FLines); });
  }
  bool WaitForCount(const std::string& line, std::size_t n) {
    return WaitFor([&](const Lines& l) { return Count(l, line) >= n; });
  }
  static std::size_t Count(const Lines& l, const std::string& line) {
    return static_cast<std::size_t>(std::count(l.begin(), l.end(), line));
  }

 private:
  mutable std::mutex FMu;
  std::condition_variable FCv;
  Lines FLines;
};

// Entry i is i and entry 128 + i is i for i below 128: ASCII passes both ways.
TCodeTable AsciiTable() {
  TCodeTable t{};
  for (int i = 0; i < 256; ++i) t[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  for (int i = 0; i < 128; ++i) t[static_cast<std::size_t>(128 + i)] = static_cast<std::uint8_t>(i);
  return t;
}

Lines Only(const Lines& l, const std::function<bool(const std::string&)>& keep) {
  Lines out;
  std::copy_if(l.begin(), l.end(), std::back_inserter(out), keep);
  return out;
}

std::string Joined(const Lines& l) {
  std::string s;
  for (const auto& x : l) s += (s.empty() ? "" : " | ") + x;
  return s;
}

class EcrLinkPty : public ::testing::Test {
 protected:
  // Starts the ECRs of the script on the pty and opens the computer's side of it.
  void Start(const std::string& script) {
    Runner = std::make_unique<TSimRunner>(ParseSimScript(script), Line, TRunOptions{Speed, false, true});
    Runner->SetObserver([this](const TLineEvent& e) { Heard.Add(Describe(e)); });
    Runner->SetLog([this](std::string_view l) { SimLog.Add(std::string(l.substr(l.find("] ") + 2))); });
    Runner->Start();
    Com.SetCommPortName(Pty.SlaveName());
    Com.SetSpeed(Speed);
    Com.SetLogSink([this](std::string_view l) { ComLog.Add(std::string(l)); });
    Com.OpenEcrPort();
  }

  // The polling thread over Com, reporting every event into Events.
  std::unique_ptr<TPolThread> MakePoller() {
    auto p = std::make_unique<TPolThread>();
    p->SetCommunicationObject(&Com);
    p->FillTranTbl(AsciiTable());
    p->SetOnEcrInLine([this](TPolThread&, std::int32_t ecr, const ShortStr& b, std::uint8_t) {
      Events.Add("inline " + std::to_string(ecr) + " " + b.str());
    });
    p->SetOnInlSended([this](TPolThread&, std::int32_t ecr, std::uint8_t r) {
      Events.Add("inlsended " + std::to_string(ecr) + " " + std::to_string(r));
    });
    p->SetOnInlReceived([this](TPolThread&, std::int32_t ecr, const ShortStr& b, std::uint8_t r) {
      Events.Add("inlreceived " + std::to_string(ecr) + " " + std::to_string(r) + " " + b.str());
    });
    p->SetOnOnlReceived([this](TPolThread&, std::int32_t ecr, const ShortStr& b, std::uint8_t) {
      Events.Add("onlreceived " + std::to_string(ecr) + " " + b.str());
    });
    p->SetOnOnlSended([this](TPolThread&, std::int32_t ecr, std::uint8_t r) {
      Events.Add("onlsended " + std::to_string(ecr) + " " + std::to_string(r));
    });
    p->SetOnTakeError([this](TPolThread&, std::int32_t ecr, std::uint8_t r, std::int32_t) {
      Events.Add("takeerror " + std::to_string(ecr) + " " + std::to_string(r));
    });
    p->SetOnSendReqTimeOutError([this](TPolThread&, std::int32_t ecr, std::uint8_t, std::int32_t) {
      Events.Add("reqtimeout " + std::to_string(ecr));
    });
    return p;
  }

  TPty Pty;
  TPtyLine Line{Pty};
  TJournal Heard;   // what the ECRs received, decoded
  TJournal SimLog;  // what the ECRs received and sent
  TJournal ComLog;  // failed reads and writes of the computer's side
  TJournal Events;  // the polling thread's events
  std::unique_ptr<TSimRunner> Runner;
  SlowClock ComClock{Slowdown};
  TSimpleComObject Com{TSimpleComObject::DefaultPortFactory(), ComClock};
};

TEST_F(EcrLinkPty, TakeAnswersAndSilenceTimesOut) {
  Start("ecr 3\necr 7\nfault silent\n");
  ShortStr block;
  EXPECT_EQ(Com.TakeEcr(3, block), RES_OK);
  EXPECT_EQ(block, "004703;");
  Com.FreeEcr();
  EXPECT_EQ(Com.TakeEcr(7, block), RES_TIMEOUT);
  EXPECT_TRUE(block.empty());
  EXPECT_EQ(Com.TakeEcr(5, block), RES_TIMEOUT);  // nobody plays 5
  Com.FreeEcr();
  ASSERT_TRUE(Heard.WaitForCount("release", 2));
  EXPECT_EQ(Heard.Snapshot(), (Lines{"take 03", "ACK", "release", "take 07", "take 05", "release"}));
  EXPECT_TRUE(ComLog.Snapshot().empty()) << Joined(ComLog.Snapshot());
}

TEST_F(EcrLinkPty, InlineCommandIsSentAndTheReplyRead) {
  Start("ecr 3\nreply R \"0;{text}\"\nfault nak 2\n");
  ShortStr block;
  ASSERT_EQ(Com.TakeEcr(3, block), RES_OK);
  // The ECR refuses the first two copies; the third goes through.
  EXPECT_EQ(Com.SendBlock("R12;"), RES_OK);
  ShortStr reply;
  EXPECT_EQ(Com.GetBlock(reply, BIG_TO), RES_OK);
  EXPECT_EQ(reply, "0;12;");
  ASSERT_TRUE(SimLog.WaitForCount("ACK", 2));
  const Lines log = SimLog.Snapshot();
  EXPECT_EQ(TJournal::Count(log, "frame R12; crc ok"), 3u);
  EXPECT_EQ(TJournal::Count(log, "-> 03 NAK"), 2u);
  EXPECT_EQ(log.back(), "ACK");  // the computer acknowledged the reply
}

TEST_F(EcrLinkPty, BadCrcFrameIsNakedAndTakenWhenRepeated) {
  Start("ecr 3\nfault badcrc 1\n");
  ShortStr block;
  EXPECT_EQ(Com.TakeEcr(3, block), RES_OK);
  EXPECT_EQ(block, "004703;");
  ASSERT_TRUE(Heard.WaitForCount("ACK", 1));
  EXPECT_EQ(Heard.Snapshot(), (Lines{"take 03", "NAK", "ACK"}));
  // The simulator's log and its observer are separate journals: wait for each.
  ASSERT_TRUE(SimLog.WaitForCount("ACK", 1));
  EXPECT_EQ(SimLog.Snapshot(), (Lines{"take 03", "-> 03 frame 004703; bad crc", "NAK", "-> 03 frame 004703;", "ACK"}));
}

TEST_F(EcrLinkPty, FrameStillBadAfterEightRepeatsIsRefused) {
  Start("ecr 3\nfault badcrc 9\n");
  ShortStr block;
  EXPECT_EQ(Com.TakeEcr(3, block), RES_NAK);
  EXPECT_TRUE(block.empty());
  ASSERT_TRUE(Heard.WaitForCount("NAK", REPEAT_COUNT));
  EXPECT_EQ(TJournal::Count(Heard.Snapshot(), "ACK"), 0u);
}

TEST_F(EcrLinkPty, OnlineBlockAndItsAnswer) {
  Start("ecr 3 serial 123456\nonline \"{serial};{block};8;4711;;12.50;\" answer\n");
  ShortStr block;
  ASSERT_EQ(Com.TakeEcr(3, block), RES_OK);
  EXPECT_EQ(block, "123456;0;8;4711;;12.50;");
  EXPECT_EQ(Com.SendBlock("1;OK;"), RES_OK);
  Com.FreeEcr();
  ASSERT_TRUE(Heard.WaitForCount("release", 1));
  EXPECT_EQ(Runner->WithEngine([](TSimEngine& e) { return e.BlockNo(3); }), 1);
  EXPECT_EQ(Com.TakeEcr(3, block), RES_OK);
  EXPECT_EQ(block, "123456;") << "the list is done: in-line again";
}

TEST_F(EcrLinkPty, PollingGoesRoundRobinWithReleases) {
  Start("ecr 3\necr 7\nfault silent\n");
  auto pol = MakePoller();
  pol->AddEcr(7);
  pol->AddEcr(3);
  pol->Resume();
  ASSERT_TRUE(Heard.WaitForCount("take 03", 3));
  pol.reset();
  const Lines takesAndReleases = Only(Heard.Snapshot(), [](const std::string& s) {
    return s == "release" || s.starts_with("take");
  });
  // Two releases after a successful take; one before a new round after a failed one.
  const Lines expected = {"release", "take 03", "release", "release", "take 07", "release", "take 03",
                          "release", "release", "take 07", "release", "take 03"};
  ASSERT_GE(takesAndReleases.size(), expected.size());
  EXPECT_EQ(Lines(takesAndReleases.begin(), takesAndReleases.begin() + expected.size()), expected)
      << Joined(takesAndReleases);
  const Lines ev = Events.Snapshot();
  EXPECT_GE(TJournal::Count(ev, "inline 3 004703;"), 2u);
  EXPECT_GE(TJournal::Count(ev, "takeerror 7 3"), 2u);  // RES_TIMEOUT
}

TEST_F(EcrLinkPty, PollingInlineExchange) {
  Start("ecr 3\nreply R \"0;{text}\"\n");
  auto pol = MakePoller();
  bool sent = false;  // only touched on the polling thread
  pol->SetOnEcrInLine([&](TPolThread& t, std::int32_t ecr, const ShortStr& b, std::uint8_t) {
    Events.Add("inline " + std::to_string(ecr) + " " + b.str());
    if (!std::exchange(sent, true)) t.SendInlBlock("R12;");
  });
  pol->AddEcr(3);
  pol->Resume();
  ASSERT_TRUE(Events.WaitFor([](const Lines& l) { return !l.empty() && l.back() == "inline 3 004703;" && l.size() >= 4; }));
  pol.reset();
  const Lines ev = Events.Snapshot();
  ASSERT_GE(ev.size(), 4u);
  EXPECT_EQ(Lines(ev.begin(), ev.begin() + 4),
            (Lines{"inline 3 004703;", "inlsended 3 0", "inlreceived 3 0 0;12;", "inline 3 004703;"}));
  EXPECT_EQ(TJournal::Count(SimLog.Snapshot(), "frame R12; crc ok"), 1u);
}

TEST_F(EcrLinkPty, PollingOnlineExchangeAdvancesTheBlockNumber) {
  Start("ecr 3\nonline \"{serial};{block};8;4711;;12.50;\" answer\nonline \"{serial};{block};0;A;B;\"\n");
  auto pol = MakePoller();
  pol->SetOnOnlReceived([&](TPolThread& t, std::int32_t ecr, const ShortStr& b, std::uint8_t) {
    Events.Add("onlreceived " + std::to_string(ecr) + " " + b.str());
    if (b.view().find(";8;") != std::string_view::npos) t.SendOnlBlock("1;OK;");
    else t.Next();  // a report: nothing to answer
  });
  pol->AddEcr(3);
  pol->Resume();
  ASSERT_TRUE(Events.WaitForCount("inline 3 004703;", 1));
  pol.reset();
  const Lines ev = Events.Snapshot();
  ASSERT_GE(ev.size(), 4u);
  EXPECT_EQ(Lines(ev.begin(), ev.begin() + 4),
            (Lines{"onlreceived 3 004703;0;8;4711;;12.50;", "onlsended 3 0", "onlreceived 3 004703;1;0;A;B;",
                   "inline 3 004703;"}));
  EXPECT_EQ(TJournal::Count(Heard.Snapshot(), "frame 1;OK; crc ok"), 1u);
  EXPECT_EQ(Runner->WithEngine([](TSimEngine& e) { return e.BlockNo(3); }), 2);
}

TEST_F(EcrLinkPty, PollingTakesABadCrcFrameWhenRepeated) {
  Start("ecr 3\nfault badcrc 1\n");
  auto pol = MakePoller();
  pol->AddEcr(3);
  pol->Resume();
  ASSERT_TRUE(Events.WaitForCount("inline 3 004703;", 2));
  pol.reset();
  const Lines heard = Heard.Snapshot();
  ASSERT_GE(heard.size(), 4u);
  EXPECT_EQ(Lines(heard.begin(), heard.begin() + 4), (Lines{"release", "take 03", "NAK", "ACK"}));
  EXPECT_EQ(TJournal::Count(Events.Snapshot(), "takeerror 3 1"), 0u);
}

// While ECR 3's on-line request waits for an answer that never comes, the line is idle:
// the filler goes out, and neither ECR answers it.
TEST_F(EcrLinkPty, FillerWhileAnOnlineRequestWaits) {
  ComClock.SetSlowdown(1);  // the filler's pace against the poller's real wait is watched
  Start("ecr 3\nonline \"{serial};{block};1;4711;\" answer\necr 7\n");
  auto pol = MakePoller();
  pol->SetOnlineWait(1200ms);
  pol->AddEcr(3);
  pol->AddEcr(7);
  pol->NoiseOn();
  pol->Resume();
  ASSERT_TRUE(Events.WaitForCount("onlreceived 3 004703;0;1;4711;", 2));
  pol.reset();
  EXPECT_GE(TJournal::Count(Events.Snapshot(), "reqtimeout 3"), 1u);

  // From ECR 3's block to the next release only the computer's ACK and filler.
  const Lines log = SimLog.Snapshot();
  const auto from = std::find(log.begin(), log.end(), "-> 03 frame 004703;0;1;4711;");
  ASSERT_NE(from, log.end());
  const auto to = std::find(from, log.end(), "release");
  ASSERT_NE(to, log.end());
  const Lines wait(from + 1, to);
  EXPECT_GE(TJournal::Count(wait, "filler"), 2u);
  EXPECT_EQ(TJournal::Count(wait, "filler") + TJournal::Count(wait, "ACK"), wait.size()) << Joined(wait);
}

}  // namespace
}  // namespace kassiro
