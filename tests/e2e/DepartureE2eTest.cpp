// Clients that leave while the ECR still has something for them: a report taken while
// the report set's last holder goes, and a receipt result parked for a holder that goes.
// Each way of leaving: a release, a closed connection, a killed program (a reset).
#include <algorithm>
#include <cstdio>
#include <thread>

#include "E2eFixture.h"
#include "Exchanges.h"
#include "TempDir.h"

namespace kassiro::e2e {
namespace {

enum class TLeave { Release, Close, Kill };

std::string Name(TLeave way) {
  switch (way) {
    case TLeave::Release: return "Release";
    case TLeave::Close: return "Close";
    case TLeave::Kill: return "Kill";
  }
  return "?";
}

// Field i (from 0) of a ;-terminated text.
std::string Field(std::string_view text, std::size_t i) {
  for (; i > 0; --i) {
    const auto semi = text.find(';');
    if (semi == std::string_view::npos) return {};
    text.remove_prefix(semi + 1);
  }
  return std::string(text.substr(0, text.find(';')));
}

// --- Reports while their holder leaves ---

// ECR 3 reports a sale at every take; {seq} makes every report distinct.
constexpr const char* kSteadyReportsScript = R"(
ecr 3 serial 333333
online "{serial};{block};0;{seq};B;"
loop
)";

class ReportHolderLeaves : public E2eTest {
 protected:
  // The reports' sequence numbers in the order clients read them, and in the order
  // the ECR saw them taken (acknowledged).
  std::vector<std::string> FRead;
  TJournal FTaken;

  void Start() {
    E2eTest::Start(kSteadyReportsScript);
    FSim->WithEngine([this](ecrsim::TSimEngine& engine) {
      engine.SetJournal([this](Millis, int ecr, std::string_view block) {
        if (ecr == 3) FTaken.Add(Field(block, 3));
      });
      return true;
    });
  }

  static std::string ReportSeq(const std::string& msg) {
    if (msg.size() < 5 || msg.substr(0, 5) != Msg(ST_ERS, PLU_R, 3, 0)) return {};
    return Field(std::string_view(msg).substr(5), 2);
  }

  // Reads the client's next message, which must be a report.
  void ReadReport(TcpClient& c) {
    const auto msg = c.Next(Deadline);
    ASSERT_TRUE(msg) << "no report";
    const std::string seq = ReportSeq(*msg);
    ASSERT_FALSE(seq.empty()) << "not a report: " << Show(*msg);
    FRead.push_back(seq);
  }

  // Reads reports until `end` comes (nothing: until the connection ends).
  void ReadReportsUntil(TcpClient& c, const std::optional<std::string>& end) {
    for (;;) {
      const auto msg = c.Next(Deadline);
      if (!msg) {
        EXPECT_FALSE(end) << "the connection ended before " << Show(*end);
        return;
      }
      if (end && *msg == *end) return;
      const std::string seq = ReportSeq(*msg);
      ASSERT_FALSE(seq.empty()) << "not a report: " << Show(*msg);
      FRead.push_back(seq);
    }
  }

  void Leave(TcpClient& c, TLeave way) {
    switch (way) {
      case TLeave::Release: {
        const std::string release = Msg(ST_ERS, COP_DISC, 3, 0);
        ASSERT_TRUE(c.Send(release));
        ReadReportsUntil(c, release);
        break;
      }
      case TLeave::Close:
        // Everything the server sent before it saw the end is still read.
        c.ShutdownWrite();
        ReadReportsUntil(c, std::nullopt);
        c.Close();
        break;
      case TLeave::Kill:
        while (!c.NothingWaiting()) ReadReport(c);
        c.Abort();
        break;
    }
  }

  // Waits until the ECR has not been taken for `quiet`; the time of its last take.
  std::optional<std::chrono::steady_clock::time_point> WaitForTakesToStop(
      std::chrono::milliseconds quiet) {
    const auto until = std::chrono::steady_clock::now() + Deadline;
    for (;;) {
      const auto last = FLastTake.load();
      if (std::chrono::steady_clock::now() - last > quiet) return last;
      if (std::chrono::steady_clock::now() > until) return std::nullopt;
      std::this_thread::sleep_for(10ms);  // takes have no notification of their absence
    }
  }
};

// The only holder of ECR 3's report set leaves again and again while reports flow, most
// often while a take is under way; every report the ECR saw taken is read, in order, by
// the holder there at its ACK or, if that one left before the report was handed on, by
// the next holder (a listener, for the last one). A closing holder still reads what was
// sent to it before its end.
TEST_F(ReportHolderLeaves, NoReportTheEcrSawTakenIsLostAcrossDepartures) {
  Start();
  // A killed holder is not among the ways here: reports already in its socket when it
  // dies are lost on its side, which no server can tell from a lost take.
  constexpr TLeave kWays[] = {TLeave::Close, TLeave::Release};
  constexpr int kDepartures = 20;  // the last one a release, for the bound below
  const std::string take = Msg(ST_ERS, COP_REQ, 3, 0);
  std::chrono::steady_clock::time_point lastRelease{};
  for (int i = 0; i < kDepartures; ++i) {
    const TLeave way = kWays[i % 2];
    SCOPED_TRACE("departure " + std::to_string(i + 1) + " by " + Name(way));
    TcpClient& holder = Connect();
    Request(holder, take + "pw;", take);
    for (int n = 0; n <= i % 4; ++n) ASSERT_NO_FATAL_FAILURE(ReadReport(holder));
    if (way == TLeave::Release) lastRelease = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(Leave(holder, way));
    ASSERT_TRUE(WaitForSession([](Session& s) { return SetOf(s, 3, ST_ERS).OwnerID == 0; }));
    std::printf("departure %d by %s after report %s\n", i + 1, Name(way).c_str(),
                FRead.empty() ? "-" : FRead.back().c_str());
  }

  // Nobody holds a main set of ECR 3 now: it is not taken any more, soon.
  const auto lastTake = WaitForTakesToStop(1s);
  ASSERT_TRUE(lastTake) << "ECR 3 is still being taken";
  const auto afterRelease =
      std::chrono::duration_cast<std::chrono::milliseconds>(*lastTake - lastRelease).count();
  std::printf("Last take of ECR 3 came %lld ms after its last main set was released\n",
              static_cast<long long>(std::max<long long>(afterRelease, 0)));
  EXPECT_LT(afterRelease, 500);

  // The last holder's report may wait for the next holder: a listener takes it, without
  // making the ECR polled again; its release's answer comes after anything kept.
  TcpClient& last = Connect();
  const std::string listen = Msg(ST_ERSL, COP_REQ, 3, 0);
  Request(last, listen + "pw;", listen);
  const std::string unlisten = Msg(ST_ERSL, COP_DISC, 3, 0);
  ASSERT_TRUE(last.Send(unlisten));
  ASSERT_NO_FATAL_FAILURE(ReadReportsUntil(last, unlisten));

  const Lines taken = FTaken.Snapshot();
  EXPECT_EQ(FRead, taken) << "reports the ECR saw taken and the clients read";
  for (std::size_t i = 0; i < FRead.size(); ++i)
    EXPECT_EQ(FRead[i], std::to_string(i + 1)) << "reports out of order or missing";

  const std::string log = testing::ReadFile(FDir.path() / "kassirod.log");
  const auto count = [&log](std::string_view what) {
    std::size_t n = 0;
    for (auto at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
    return n;
  };
  std::printf("%d departures, %zu reports read, %zu left for the ECR to keep, %zu kept for the next holder\n",
              kDepartures, FRead.size(), count("a report was left unacknowledged"),
              count("is kept for the next holder"));
}

// --- A parked receipt result whose holder leaves ---

// ECR 3 asks for a receipt step under block number 4 once, then answers in-line until
// the test gives it its next on-line block.
constexpr const char* kAskOnceScript = R"(
ecr 3 serial 000123
block 4
online "{serial};{block};A;" answer
)";

class ParkedResult : public E2eTest, public ::testing::WithParamInterface<TLeave> {};

TEST_P(ParkedResult, ReachesTheListenerAloneWhenItsHolderLeft) {
  Start(kAskOnceScript, [](TIniStru& ini) {
    ini.GlobalBon = 500;
    ini.ERData[3].Line = 7;
    ini.ERData[3].Bon = 90;
  });
  TcpClient& recl = Connect();
  TcpClient& owner = Connect();
  Request(recl, kTakeReclRequest, kTakeReclAnswer);
  Request(owner, kTakeRecRequest, kTakeRecAnswer);
  EXPECT_EQ(Recv(recl), Show(kTakeRecAnswer));
  ASSERT_TRUE(owner.Send(kRecLoadRequest));
  EXPECT_EQ(Recv(owner), Show(kRecInterim));
  EXPECT_EQ(Recv(recl), Show(kRecInterim));
  ASSERT_TRUE(WaitForSession([](Session& s) { return SetOf(s, 3, ST_REC).WaitBlk2; }));

  switch (GetParam()) {
    case TLeave::Release: {
      const std::string release = Msg(ST_REC, COP_DISC, 3, 0);
      Request(owner, release, release);
      EXPECT_EQ(Recv(recl), Show(release));
      break;
    }
    case TLeave::Close: owner.Close(); break;
    case TLeave::Kill: owner.Abort(); break;
  }
  ASSERT_TRUE(WaitForSession([](Session& s) { return SetOf(s, 3, ST_REC).OwnerID == 0; }));

  // A new holder of the set; the ECR is polled again and sends its next block.
  TcpClient& next = Connect();
  Request(next, kTakeRecRequest, kTakeRecAnswer);
  EXPECT_EQ(Recv(recl), Show(kTakeRecAnswer));
  ASSERT_TRUE(FSim->WithEngine([](ecrsim::TSimEngine& engine) {
    return engine.AddOnline(3, ecrsim::TOnlineEntry{.Text = "{serial};{block};0;X;"});
  }));
  EXPECT_EQ(Recv(recl), Show(kRecFinal));
  // Nothing of it reached the new holder: its next message answers a probe.
  const std::string phase = Msg(ST_REC, COP_PHASE, 3, 0);
  Request(next, phase, phase);
}

INSTANTIATE_TEST_SUITE_P(Ways, ParkedResult,
                         ::testing::Values(TLeave::Release, TLeave::Close, TLeave::Kill),
                         [](const auto& info) { return Name(info.param); });

}  // namespace
}  // namespace kassiro::e2e
