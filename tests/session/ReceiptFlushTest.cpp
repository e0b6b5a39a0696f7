// The receipt flush between the session routines and the clients: the record is stored
// with the session lock released, a message with a drawn number waits for its store,
// draws during a store join the next one, and nobody else waits. The store is made to
// block here until the test lets it go.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SessionFixture.h"
#include "core/SettingsFile.h"
#include "session/OnlineHandling.h"
#include "session/ReceiptFlush.h"

namespace kassiro::testing {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 20s;  // generous: every wait ends when its event comes

// A store that records the receipt counter of every record it is given and then blocks
// until the test has let that many stores go.
class TGatedStore {
 public:
  explicit TGatedStore(std::function<bool(const TIniStru&)> inner = nullptr) : FInner(std::move(inner)) {}

  bool Store(const TIniStru& ini) {
    std::unique_lock lock(FMu);
    FEntered.push_back(ini.GlobalBon);
    FCv.notify_all();
    FCv.wait(lock, [&] { return FLetGo >= FEntered.size(); });
    return FInner ? FInner(ini) : true;
  }
  // Waits until store number n (from 1) has begun; false after the deadline.
  bool WaitEntered(std::size_t n) {
    std::unique_lock lock(FMu);
    return FCv.wait_for(lock, kDeadline, [&] { return FEntered.size() >= n; });
  }
  void LetGo(std::size_t n) {
    std::lock_guard lock(FMu);
    FLetGo = n;
    FCv.notify_all();
  }
  void LetAllGo() { LetGo(static_cast<std::size_t>(-1)); }
  std::vector<std::int32_t> Entered() {
    std::lock_guard lock(FMu);
    return FEntered;
  }

 private:
  std::function<bool(const TIniStru&)> FInner;
  std::mutex FMu;
  std::condition_variable FCv;
  std::vector<std::int32_t> FEntered;  // GlobalBon of each record given
  std::size_t FLetGo = 0;
};

constexpr std::uint16_t kReports = 1, kOther = 2;

class ReceiptFlush : public ::testing::Test {
 protected:
  explicit ReceiptFlush(std::function<bool(const TIniStru&)> inner = nullptr)
      : Gate(std::move(inner)),
        Flush(std::make_unique<TReceiptFlush>(S, Clients, [this](const TIniStru& ini) { return Gate.Store(ini); })) {
    S.SaveSettings = [this](const TIniStru&) { Flush->Changed(); };
    Locked([&] { Request(kReports, ST_ERS, COP_REQ, 3); });
    Locked([&] { Request(kReports, ST_ERS, COP_REQ, 7); });
    EXPECT_EQ(Taken().size(), 2u);
  }
  ~ReceiptFlush() override {
    Gate.LetAllGo();
    Flush.reset();
  }

  // Runs f under the session lock, as the server's event wiring does.
  template <typename F>
  void Locked(F f) {
    std::lock_guard lock(S.Lock);
    f();
  }
  void Request(std::uint16_t id, std::uint8_t st, std::uint8_t cop, std::uint8_t ecr) {
    HandleOnDataIn(Env, APP_COMM_ROUTINES, id, ShortStr(Msg(st, cop, ecr, 0)));
  }
  // The ECR closes a receipt (sub-command 4); every block differs, so none is a repeat.
  void CloseReceipt(std::uint8_t ecr) {
    ++FBlock;
    const std::string blk = "1;" + std::to_string(FBlock % 10) + ";3;4;r" + std::to_string(FBlock) + ";";
    Locked([&] { HandleOnlReceived(Env, ecr, 0, ShortStr(blk)); });
  }
  std::vector<Sent> Taken() {
    std::lock_guard lock(S.Lock);
    return Clients.Take();
  }
  // Everything sent until `count` messages came (or the deadline passed).
  std::vector<Sent> TakeUntil(std::size_t count) {
    std::vector<Sent> all;
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (all.size() < count && std::chrono::steady_clock::now() < until) {
      for (Sent& m : Taken()) all.push_back(std::move(m));
      std::this_thread::yield();
    }
    return all;
  }
  std::size_t Held() {
    std::lock_guard lock(S.Lock);
    return Flush->HeldCount();
  }
  // The receipt number a report carries: its last field.
  static std::int32_t NumberIn(const Sent& m) {
    const std::string& t = m.second;
    const std::size_t start = t.rfind(';', t.size() - 2) + 1;
    return std::stoi(t.substr(start, t.size() - 1 - start));
  }

  Session S;
  FakeClients Clients;
  FakePoll Poll;
  TUserLocale Locale;
  TGatedStore Gate;
  std::unique_ptr<TReceiptFlush> Flush;
  TSessionEnv Env{S, *Flush, Poll, Locale};

 private:
  int FBlock = 0;
};

TEST_F(ReceiptFlush, AStoreThatBlocksHoldsOnlyTheReceiptsClientAndKeepsItsOrder) {
  CloseReceipt(3);
  ASSERT_TRUE(Gate.WaitEntered(1));
  EXPECT_TRUE(Taken().empty()) << "the number left before it was on disk";

  // While the store blocks, other clients' commands are served at once.
  Locked([&] { Request(kOther, ST_ERS, COP_REQ, 5); });
  Locked([&] { Request(kOther, ST_RPR, COP_PHASE, 1); });
  EXPECT_EQ(Taken(), (std::vector<Sent>{{kOther, Msg(ST_ERS, COP_REQ, 5, 0)},
                                        {kOther, Msg(ST_RPR, COP_PHASE, 1, ERR_NOT_YOURS)}}));
  // The receipt's own client waits: its next answer comes after the report, not before.
  Locked([&] { Request(kReports, ST_ERS, COP_PHASE, 7); });
  EXPECT_TRUE(Taken().empty());
  EXPECT_EQ(Held(), 2u);

  Gate.LetGo(1);
  const std::vector<Sent> sent = TakeUntil(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].first, kReports);
  EXPECT_EQ(static_cast<std::uint8_t>(sent[0].second[1]), ORD_R);
  EXPECT_EQ(NumberIn(sent[0]), 1);
  EXPECT_GT(Gate.Entered().at(0), 1) << "the store did not hold a counter past the number";
  EXPECT_EQ(sent[1].first, kReports);
  EXPECT_EQ(static_cast<std::uint8_t>(sent[1].second[1]), COP_PHASE);
  EXPECT_EQ(Held(), 0u);
}

TEST_F(ReceiptFlush, ReceiptsClosedDuringAStoreGoOutTogetherAfterTheNextOne) {
  CloseReceipt(3);
  ASSERT_TRUE(Gate.WaitEntered(1));
  CloseReceipt(3);
  CloseReceipt(7);
  EXPECT_EQ(Held(), 3u);

  Gate.LetGo(1);
  const std::vector<Sent> first = TakeUntil(1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(NumberIn(first[0]), 1);
  ASSERT_TRUE(Gate.WaitEntered(2));
  EXPECT_TRUE(Taken().empty()) << "a number left before its own store";
  EXPECT_EQ(Held(), 2u);

  Gate.LetGo(2);
  const std::vector<Sent> next = TakeUntil(2);
  ASSERT_EQ(next.size(), 2u);
  // ECR 3 drew 1 and then 2 at its first close, 3 at its second; ECR 7 drew 4 and closed it.
  EXPECT_EQ(NumberIn(next[0]), 2);
  EXPECT_EQ(NumberIn(next[1]), 4);
  Flush->Settle();
  const std::vector<std::int32_t> stores = Gate.Entered();
  ASSERT_EQ(stores.size(), 2u) << "both draws of the second round should share one store";
  EXPECT_EQ(stores[1], 6);
}

TEST_F(ReceiptFlush, WhatWasHeldForAClientThatLeftNeverReachesTheNextClientOfItsNumber) {
  CloseReceipt(3);
  ASSERT_TRUE(Gate.WaitEntered(1));
  Locked([&] {
    HandleOnDisconnect(Env, kReports);
    Flush->Forget(kReports);
  });
  // A new client gets the same connection number and is served at once.
  Locked([&] { Request(kReports, ST_ERS, COP_REQ, 9); });
  EXPECT_EQ(Taken(), (std::vector<Sent>{{kReports, Msg(ST_ERS, COP_REQ, 9, 0)}}));
  Gate.LetGo(1);
  Flush->Settle();
  EXPECT_TRUE(Taken().empty());
  EXPECT_EQ(Held(), 0u);
}

// With the real settings file behind the store: whenever the process could die, a
// restart reads a counter past every number a client ever had, so none comes twice.
class ReceiptFlushOnDisk : public ReceiptFlush {
 protected:
  ReceiptFlushOnDisk() : ReceiptFlush([this](const TIniStru& ini) { return File.Save(ini); }) {}
  ~ReceiptFlushOnDisk() override {  // before the file goes
    Gate.LetAllGo();
    Flush.reset();
  }

  // What a restart right now would read (from a copy: the file itself stays locked).
  std::int32_t CounterAfterRestart() {
    TempDir scratch;
    std::filesystem::copy_file(Dir / "s.STG", scratch / "s.STG");
    TSettingsFile copy(scratch / "s.STG");
    TIniStru ini;
    EXPECT_TRUE(copy.Load(ini));
    return ini.GlobalBon;
  }

  TempDir Dir;
  TSettingsFile File{Dir / "s.STG"};
};

TEST_F(ReceiptFlushOnDisk, ACrashBetweenDrawAndStoreNeverReusesANumberThatWasSent) {
  File.Save(S.IniStru);
  std::int32_t highestSent = 0;
  for (std::size_t round = 1; round <= 4; ++round) {
    SCOPED_TRACE(round);
    CloseReceipt(round % 2 ? 3 : 7);
    ASSERT_TRUE(Gate.WaitEntered(round));
    // Drawn, not yet stored: a crash now may hand the new number out again, so it must
    // not have left.
    EXPECT_TRUE(Taken().empty());
    EXPECT_GT(CounterAfterRestart(), highestSent);
    Gate.LetGo(round);
    const std::vector<Sent> sent = TakeUntil(1);
    ASSERT_EQ(sent.size(), 1u);
    highestSent = std::max(highestSent, NumberIn(sent[0]));
    Flush->Settle();
    EXPECT_GT(CounterAfterRestart(), highestSent);
  }
}

// The report journal: every report is recorded, held or not, and reaches its holder only
// once the journal says its record is on disk; other ECRs' messages do not wait for it.
TEST_F(ReceiptFlush, AReportWaitsForItsJournalRecordAndEveryReportIsRecorded) {
  Gate.LetAllGo();
  std::vector<std::pair<int, std::string>> recorded;
  Locked([&] {
    S.RecordReport = [&recorded](std::uint8_t ecr, std::uint8_t, const ShortStr& msg) {
      recorded.emplace_back(ecr, msg.str());
      return static_cast<std::uint64_t>(recorded.size());
    };
  });
  CloseReceipt(3);
  CloseReceipt(5);  // nobody holds ECR 5's report set
  Flush->Settle();
  EXPECT_TRUE(Taken().empty()) << "a report left before its record was on disk";
  ASSERT_EQ(recorded.size(), 2u);
  EXPECT_EQ(recorded[0].first, 3);
  EXPECT_EQ(recorded[1].first, 5);

  Locked([&] { Flush->JournalStored(1); });
  EXPECT_EQ(Taken(), (std::vector<Sent>{{kReports, recorded[0].second}}));
  Locked([&] { Request(kReports, ST_ERS, COP_PHASE, 7); });
  EXPECT_EQ(Taken().size(), 1u) << "ECR 7 has no record to wait for";
  Locked([&] { S.RecordReport = nullptr; });
}

}  // namespace
}  // namespace kassiro::testing
