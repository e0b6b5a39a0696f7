#include "ecrlink/PolObj.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeComObject.h"
#include "TempDir.h"
#include "core/LogFile.h"

namespace kassiro {
namespace {

using namespace std::chrono_literals;
using testing::FakeComObject;
using testing::TJournal;
using Lines = std::vector<std::string>;

// Entry i is i and entry 128 + i is i for i below 128: ASCII passes both ways.
TCodeTable AsciiTable() {
  TCodeTable t{};
  for (int i = 0; i < 256; ++i) t[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  for (int i = 0; i < 128; ++i) t[static_cast<std::size_t>(128 + i)] = static_cast<std::uint8_t>(i);
  return t;
}

// ECR -> application makes letters upper case, application -> ECR lower case.
TCodeTable CaseTable() {
  TCodeTable t = AsciiTable();
  for (int c = 'a'; c <= 'z'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 32);
  for (int c = 'A'; c <= 'Z'; ++c) t[static_cast<std::size_t>(128 + c)] = static_cast<std::uint8_t>(c + 32);
  return t;
}

using testing::TempDir;

// ---- the ECR list ----

TEST(PolThreadList, InsertsSortedOnceAndRemovesOnlyWhatIsThere) {
  TPolThread p;
  for (int e : {7, 3, 9, 3, 1, 9}) p.AddEcr(e);
  EXPECT_EQ(p.EcrList(), (std::vector<int>{1, 3, 7, 9}));
  p.RemoveEcr(5);
  EXPECT_EQ(p.EcrList(), (std::vector<int>{1, 3, 7, 9}));
  p.RemoveEcr(3);
  p.RemoveEcr(9);
  EXPECT_EQ(p.EcrList(), (std::vector<int>{1, 7}));
  p.RemoveEcr(1);
  p.RemoveEcr(7);
  EXPECT_TRUE(p.EcrList().empty());
  EXPECT_EQ(p.GetNextEcr(), -1);
}

TEST(PolThreadList, RejectsNumbersOutsideOneTo99WithTheirText) {
  TPolThread p;
  p.AddEcr(4);
  for (int bad : {0, 100, -5}) {
    const std::string text = std::to_string(bad) + "is NOT valid ECR logical number !";
    for (bool add : {true, false}) {
      try {
        add ? p.AddEcr(bad) : p.RemoveEcr(bad);
        ADD_FAILURE() << "no exception for " << bad;
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(e.what(), text);
      }
    }
  }
  EXPECT_EQ(p.EcrList(), (std::vector<int>{4}));
}

TEST(PolThreadList, FullListRefusesEveryFurtherAdd) {
  TPolThread p;
  for (int e = 99; e >= 1; --e) p.AddEcr(e);
  ASSERT_EQ(p.EcrList().size(), 99u);
  EXPECT_EQ(p.EcrList().front(), 1);
  EXPECT_EQ(p.EcrList().back(), 99);
  try {
    p.AddEcr(50);
    ADD_FAILURE() << "no exception";
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "Too many ECRs !");
  }
  EXPECT_EQ(p.EcrList().size(), 99u);
}

// The position is kept across changes of the list, with the quirks that brings.
TEST(PolThreadList, RoundRobinKeepsItsPositionAcrossChanges) {
  TPolThread p;
  p.AddEcr(3);
  p.AddEcr(7);
  EXPECT_EQ(p.GetNextEcr(), 3);
  EXPECT_EQ(p.GetNextEcr(), 7);
  EXPECT_EQ(p.GetNextEcr(), 3);
  p.AddEcr(1);  // below the position: 3 comes once more
  EXPECT_EQ(p.GetNextEcr(), 3);
  EXPECT_EQ(p.GetNextEcr(), 7);
  EXPECT_EQ(p.GetNextEcr(), 1);
  p.RemoveEcr(1);  // below the position: 3 is skipped this round
  EXPECT_EQ(p.GetNextEcr(), 7);
  p.ClearEcrList();
  EXPECT_EQ(p.GetNextEcr(), -1);
  p.AddEcr(5);
  EXPECT_EQ(p.GetNextEcr(), 5);
  EXPECT_EQ(p.GetNextEcr(), 5);
}

// ---- translation ----

TEST(PolThreadTranslation, EcrSideReadsLowMapAndApplicationSideTheHighOne) {
  TPolThread p;
  TCodeTable t{};
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(i * 7 + 3);
  p.FillTranTbl(t);
  ShortStr all;
  for (int c = 0; c < 255; ++c) all.push_back(static_cast<char>(c));
  const ShortStr toAp = p.Ecr2Ap(all);
  const ShortStr toEcr = p.Ap2Ecr(all);
  ASSERT_EQ(toAp.size(), 255u);
  ASSERT_EQ(toEcr.size(), 255u);
  for (std::size_t c = 0; c < 255; ++c) {
    EXPECT_EQ(toAp.byte(c), t[c]) << c;
    EXPECT_EQ(toEcr.byte(c), t[128 + c]) << c;
  }
  EXPECT_TRUE(p.Ecr2Ap(ShortStr()).empty());
}

TEST(PolThreadTranslation, AsciiTablePassesLowBytesBothWays) {
  TPolThread p;
  p.FillTranTbl(AsciiTable());
  ShortStr text;
  for (int c = 0; c < 128; ++c) text.push_back(static_cast<char>(c));
  EXPECT_EQ(p.Ecr2Ap(text), text.view());
  EXPECT_EQ(p.Ap2Ecr(text), text.view());
}

TEST(PolThreadTranslation, StartsWithTheDefaultTable) {
  TPolThread p;
  const TCodeTable& t = LangTable(DEFAULT_CODETABLE);
  const ShortStr s("\x80\xC1z");
  const ShortStr got = p.Ecr2Ap(s);
  ASSERT_EQ(got.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(got.byte(i), t[s.byte(i)]);
}

// ---- the polling loop ----

// An on-line request: 8 bytes or more.
constexpr const char* kOnlineReq = "Q;123;45;";
const std::string kReceived = std::string("OnlReceived 5 ") + kOnlineReq + " 0";

class PolThreadLoop : public ::testing::Test {
 protected:
  using Action = std::function<void(TPolThread&)>;

  PolThreadLoop() {
    BindProgramLog(dir_.path() / "polobj-test");
    poll_->SetCommunicationObject(&fake_);
    poll_->FillTranTbl(AsciiTable());
    poll_->SetOnlineWait(60s);  // long enough that only a signal ends it within a test
    Record();
  }

  void Record() {
    auto blk = [this](const char* name, Action* act) {
      return [this, name, act](TPolThread& s, std::int32_t Ecr, const ShortStr& b, std::uint8_t r) {
        journal_.Add(std::string(name) + " " + std::to_string(Ecr) + " " + b.str() + " " +
                     std::to_string(r));
        if (*act) (*act)(s);
      };
    };
    auto cmd = [this](const char* name, Action* act) {
      return [this, name, act](TPolThread& s, std::int32_t Ecr, std::uint8_t r) {
        journal_.Add(std::string(name) + " " + std::to_string(Ecr) + " " + std::to_string(r));
        if (*act) (*act)(s);
      };
    };
    auto err = [this](const char* name) {
      return [this, name](TPolThread&, std::int32_t Ecr, std::uint8_t r, std::int32_t x) {
        journal_.Add(std::string(name) + " " + std::to_string(Ecr) + " " + std::to_string(r) +
                     " " + std::to_string(x));
      };
    };
    poll_->SetOnEcrInLine(blk("EcrInLine", &inLine_));
    poll_->SetOnInlReceived(blk("InlReceived", &none_));
    poll_->SetOnOnlReceived(blk("OnlReceived", &onlReceived_));
    poll_->SetOnInlSended(cmd("InlSended", &inlSended_));
    poll_->SetOnOnlSended(cmd("OnlSended", &none_));
    poll_->SetOnTakeError(err("TakeError"));
    poll_->SetOnSendReqTimeOutError(err("SendReqTimeOut"));
  }

  // Runs `takes` takes of ECR 5 with the given take reply; true once the loop is parked.
  bool RunEcr5(const std::string& reply, int takes = 1) {
    fake_.SetTakeReply(5, {RES_OK, reply});
    poll_->AddEcr(5);
    fake_.AllowTakes(takes);
    poll_->Resume();
    return fake_.WaitParked();
  }

  // Takes ECRs a and b once each, with these take replies; true once the loop is parked.
  bool RunTwo(int a, FakeComObject::TReply ra, int b, FakeComObject::TReply rb) {
    fake_.SetTakeReply(a, std::move(ra));
    fake_.SetTakeReply(b, std::move(rb));
    poll_->AddEcr(a);
    poll_->AddEcr(b);
    fake_.AllowTakes(2);
    poll_->Resume();
    return fake_.WaitParked();
  }

  // Takes ECR 5 once with an on-line request and returns when its handler has run;
  // the thread then waits for the answer.
  void StartOnline() {
    fake_.SetTakeReply(5, {RES_OK, kOnlineReq});
    poll_->AddEcr(5);
    fake_.AllowTakes(1);
    poll_->Resume();
    ASSERT_TRUE(journal_.WaitFor(kReceived));
  }

  // The journal without the release requests and takes.
  Lines Exchange() const {
    Lines out;
    for (const auto& l : journal_.Lines())
      if (l != "FreeEcr" && l.rfind("TakeEcr", 0) != 0) out.push_back(l);
    return out;
  }

  bool Logged(const std::string& text) const {
    return testing::ReadFile(dir_.path() / "polobj-test.log").find(text) != std::string::npos;
  }

  TempDir dir_;
  TJournal journal_;
  FakeComObject fake_{journal_};
  Action inLine_, inlSended_, onlReceived_, none_;
  std::unique_ptr<TPolThread> poll_ = std::make_unique<TPolThread>();
};

TEST_F(PolThreadLoop, EmptyListWaitsAfterTheFirstReleaseUntilAnEcrIsAdded) {
  fake_.AllowTakes(1);
  poll_->Resume();
  ASSERT_TRUE(journal_.WaitFor("FreeEcr"));
  poll_->AddEcr(4);
  ASSERT_TRUE(fake_.WaitParked());
  EXPECT_EQ(journal_.Lines(),
            (Lines{"FreeEcr", "TakeEcr 4", "EcrInLine 4 1; 0", "FreeEcr", "FreeEcr"}));
}

TEST_F(PolThreadLoop, TakesRoundRobinWithTwoReleasesAfterEachTake) {
  poll_->AddEcr(7);
  poll_->AddEcr(3);
  fake_.AllowTakes(4);
  poll_->Resume();
  ASSERT_TRUE(fake_.WaitParked());
  const Lines turn3{"TakeEcr 3", "EcrInLine 3 1; 0", "FreeEcr", "FreeEcr"};
  const Lines turn7{"TakeEcr 7", "EcrInLine 7 1; 0", "FreeEcr", "FreeEcr"};
  Lines want{"FreeEcr"};
  for (int round = 0; round < 2; ++round) {
    want.insert(want.end(), turn3.begin(), turn3.end());
    want.insert(want.end(), turn7.begin(), turn7.end());
  }
  EXPECT_EQ(journal_.Lines(), want);
}

TEST_F(PolThreadLoop, FailedTakeIsReportedAndTheNextRoundOpensWithOneRelease) {
  fake_.SetTakeReply(7, {RES_TIMEOUT, ""});
  poll_->AddEcr(3);
  poll_->AddEcr(7);
  fake_.AllowTakes(4);
  poll_->Resume();
  ASSERT_TRUE(fake_.WaitParked());
  const Lines round{"TakeEcr 3", "EcrInLine 3 1; 0", "FreeEcr", "FreeEcr",
                    "TakeEcr 7", "TakeError 7 3 0",  "FreeEcr"};
  Lines want{"FreeEcr"};
  want.insert(want.end(), round.begin(), round.end());
  want.insert(want.end(), round.begin(), round.end());
  EXPECT_EQ(journal_.Lines(), want);
}

TEST_F(PolThreadLoop, SevenByteReplyIsInLineEightByteOnLine) {
  poll_->SetOnlineWait(1ms);
  ASSERT_TRUE(RunTwo(1, {RES_OK, "123456;"}, 2, {RES_OK, "1234567;"}));
  EXPECT_EQ(Exchange(),
            (Lines{"EcrInLine 1 123456; 0", "OnlReceived 2 1234567; 0", "SendReqTimeOut 2 0 0"}));
}

TEST_F(PolThreadLoop, InLineSendsOnlyABlockGivenInsideTheHandlerWithoutNext) {
  const std::vector<Action> nothingSent{
      [](TPolThread&) {},
      [](TPolThread& p) { p.SendInlBlock("CMD"); p.Next(); },
      [](TPolThread& p) { p.Next(); p.SendInlBlock("CMD"); },
  };
  for (const Action& act : nothingSent) {
    TJournal journal;
    FakeComObject fake(journal);
    TPolThread p;
    p.SetCommunicationObject(&fake);
    p.SetOnEcrInLine([&](TPolThread& s, std::int32_t, const ShortStr&, std::uint8_t) {
      journal.Add("EcrInLine");
      act(s);
    });
    p.SetOnInlSended([&](TPolThread&, std::int32_t, std::uint8_t) { journal.Add("InlSended"); });
    p.AddEcr(5);
    fake.AllowTakes(2);
    p.Resume();
    ASSERT_TRUE(fake.WaitParked());
    EXPECT_EQ(journal.Lines(), (Lines{"FreeEcr", "TakeEcr 5", "EcrInLine", "FreeEcr", "FreeEcr",
                                      "TakeEcr 5", "EcrInLine", "FreeEcr", "FreeEcr"}));
  }
}

TEST_F(PolThreadLoop, InLineSendsTranslatedBlockThenReadsAndTranslatesTheReply) {
  poll_->FillTranTbl(CaseTable());
  inLine_ = [](TPolThread& p) { p.SendInlBlock("CMD;x;"); };
  fake_.QueueGetReply({RES_OK, "done;"});
  ASSERT_TRUE(RunEcr5("ab;"));
  EXPECT_EQ(journal_.Lines(),
            (Lines{"FreeEcr", "TakeEcr 5", "EcrInLine 5 AB; 0", "SendBlock cmd;x;", "InlSended 5 0",
                   "GetBlock 8000", "InlReceived 5 DONE; 0", "FreeEcr", "FreeEcr"}));
}

TEST_F(PolThreadLoop, InLineSendErrorIsLoggedAndTheReplyStillAwaited) {
  inLine_ = [](TPolThread& p) { p.SendInlBlock("CMD"); };
  fake_.QueueSendResult(RES_NAK);
  fake_.QueueGetReply({RES_TIMEOUT, ""});
  ASSERT_TRUE(RunEcr5("1;"));
  EXPECT_EQ(Exchange(), (Lines{"EcrInLine 5 1; 0", "SendBlock CMD", "InlSended 5 1",
                               "GetBlock 8000", "InlReceived 5  3"}));
  EXPECT_TRUE(Logged("InLine SndErr: NAK\r\n"));
  EXPECT_TRUE(Logged("InLine RcvErr: TimeOut\r\n"));
}

TEST_F(PolThreadLoop, NextAfterTheInLineSendSkipsTheRead) {
  inLine_ = [](TPolThread& p) { p.SendInlBlock("CMD"); };
  inlSended_ = [](TPolThread& p) { p.Next(); };
  ASSERT_TRUE(RunEcr5("1;", 2));
  EXPECT_EQ(Exchange(), (Lines{"EcrInLine 5 1; 0", "SendBlock CMD", "InlSended 5 0",
                               "EcrInLine 5 1; 0", "SendBlock CMD", "InlSended 5 0"}));
}

// A client that takes a set while the ECR's ACK of a command is awaited may call Next
// from its own thread; the exchange still reads the ECR's reply, so the result the
// session awaits is delivered and the set does not stay busy.
TEST_F(PolThreadLoop, NextFromAnotherThreadDuringTheInLineSendKeepsTheRead) {
  inLine_ = [](TPolThread& p) { p.SendInlBlock("CMD"); };
  fake_.SetDuringSend([this] { std::thread([this] { poll_->Next(); }).join(); });
  fake_.QueueGetReply({RES_OK, "done;"});
  ASSERT_TRUE(RunEcr5("1;"));
  EXPECT_EQ(Exchange(), (Lines{"EcrInLine 5 1; 0", "SendBlock CMD", "InlSended 5 0",
                               "GetBlock 8000", "InlReceived 5 done; 0"}));
}

// A lost line: the session hears it at once and after every failed attempt to open it
// again; once it is back, the same ECRs are polled, after one release request.
TEST_F(PolThreadLoop, LostLineIsOpenedAgainAndPollingGoesOn) {
  poll_->SetOnLineDown([this](TPolThread&) { journal_.Add("LineDown"); });
  fake_.LoseLine(2);
  ASSERT_TRUE(RunEcr5("1;"));
  EXPECT_EQ(journal_.Lines(),
            (Lines{"FreeEcr", "LineDown", "ReopenEcrPort", "LineDown", "ReopenEcrPort", "LineDown",
                   "ReopenEcrPort", "FreeEcr", "TakeEcr 5", "EcrInLine 5 1; 0", "FreeEcr",
                   "FreeEcr"}));
}

TEST_F(PolThreadLoop, StopWhileTheLineIsLostEndsTheThread) {
  poll_->SetOnLineDown([this](TPolThread&) { journal_.Add("LineDown"); });
  fake_.LoseLine(1000000);
  poll_->AddEcr(5);
  poll_->Resume();
  ASSERT_TRUE(journal_.WaitFor("ReopenEcrPort"));
  poll_.reset();  // returns once the thread has ended
  EXPECT_TRUE(journal_.Has("CloseEcrPort"));
}

TEST_F(PolThreadLoop, OnLineAnswerGivenInsideTheHandlerIsSentWithoutWaiting) {
  onlReceived_ = [](TPolThread& p) { p.SendOnlBlock("ANS;"); };
  ASSERT_TRUE(RunEcr5(kOnlineReq));
  EXPECT_EQ(journal_.Lines(),
            (Lines{"FreeEcr", "TakeEcr 5", kReceived,
                   "SendBlock ANS;", "OnlSended 5 0", "FreeEcr", "FreeEcr"}));
}

TEST_F(PolThreadLoop, OnLineSendErrorIsLoggedAndReported) {
  onlReceived_ = [](TPolThread& p) { p.SendOnlBlock("ANS;"); };
  fake_.QueueSendResult(RES_DIFF);
  ASSERT_TRUE(RunEcr5(kOnlineReq));
  EXPECT_TRUE(journal_.Has("OnlSended 5 2"));
  EXPECT_TRUE(Logged("OnLine SndErr: DIFF\r\n"));
}

TEST_F(PolThreadLoop, OnLineWithoutAnswerTimesOutAndSendsNothing) {
  poll_->SetOnlineWait(20ms);
  ASSERT_TRUE(RunEcr5(kOnlineReq));
  EXPECT_EQ(Exchange(),
            (Lines{kReceived, "SendReqTimeOut 5 0 0"}));
}

TEST_F(PolThreadLoop, OnLineAnswerFromAnotherThreadDuringTheWaitIsSent) {
  StartOnline();
  poll_->SendOnlBlock("ANS;");
  ASSERT_TRUE(fake_.WaitParked());
  EXPECT_EQ(Exchange(), (Lines{kReceived, "SendBlock ANS;", "OnlSended 5 0"}));
}

TEST_F(PolThreadLoop, NextDuringTheOnLineWaitEndsItWithoutSending) {
  StartOnline();
  poll_->Next();
  ASSERT_TRUE(fake_.WaitParked());
  EXPECT_EQ(Exchange(), (Lines{kReceived}));
}

TEST_F(PolThreadLoop, LateAnswerIsDroppedAtTheNextTake) {
  poll_->SetOnlineWait(20ms);
  ASSERT_TRUE(RunEcr5(kOnlineReq));
  poll_->SendOnlBlock("LATE;");
  fake_.AllowTakes(1);
  ASSERT_TRUE(fake_.WaitParked());
  EXPECT_EQ(Exchange(),
            (Lines{kReceived, "SendReqTimeOut 5 0 0", kReceived, "SendReqTimeOut 5 0 0"}));
}

TEST_F(PolThreadLoop, HandlerExceptionIsLoggedAndEndsTheThread) {
  inLine_ = [](TPolThread&) { throw std::runtime_error("handler failed"); };
  fake_.SetTakeReply(5, {RES_OK, "1;"});
  poll_->AddEcr(5);
  fake_.AllowTakes(3);
  poll_->Resume();
  ASSERT_TRUE(poll_->WaitForEnd(testing::kDeadline));
  EXPECT_FALSE(poll_->Running());
  EXPECT_EQ(journal_.Lines(), (Lines{"FreeEcr", "TakeEcr 5", "EcrInLine 5 1; 0"}));
  EXPECT_TRUE(Logged("EXCEPTION in TPolThread.Execute - runtime_error:\r\nhandler failed\r\n"));
}

TEST_F(PolThreadLoop, MissingCommunicationObjectIsLoggedAndEndsTheThread) {
  TPolThread p;
  p.AddEcr(1);
  p.Resume();
  ASSERT_TRUE(p.WaitForEnd(testing::kDeadline));
  EXPECT_TRUE(Logged("EXCEPTION in TPolThread.Execute - runtime_error:\r\n"
                     "Communication object not assigned !\r\n"));
}

// Stopping the server must not wait out the exchange under way.
TEST_F(PolThreadLoop, DestructorCutsTheOnLineWaitShortAndClosesThePort) {
  StartOnline();
  const auto t0 = std::chrono::steady_clock::now();
  poll_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);  // the wait itself is 60 s
  EXPECT_EQ(Exchange(), (Lines{kReceived, "Abort", "CloseEcrPort"}));
}

TEST_F(PolThreadLoop, DestructorAbortsAReadUnderWayAndCallsNoMoreHandlers) {
  inLine_ = [](TPolThread& p) { p.SendInlBlock("CMD"); };
  fake_.SetGetBlockHangs(true);
  poll_->AddEcr(5);
  fake_.AllowTakes(1);
  poll_->Resume();
  ASSERT_TRUE(journal_.WaitFor("GetBlock 8000"));
  const auto t0 = std::chrono::steady_clock::now();
  poll_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);  // the fake holds the read 60 s
  EXPECT_EQ(Exchange(), (Lines{"EcrInLine 5 1; 0", "SendBlock CMD", "InlSended 5 0",
                               "GetBlock 8000", "Abort", "CloseEcrPort"}));
}

TEST_F(PolThreadLoop, NoiseIsForwardedAndAnUnstartedThreadStillClosesThePort) {
  poll_->NoiseOn();
  poll_->NoiseOff();
  poll_.reset();
  EXPECT_EQ(journal_.Lines(), (Lines{"NoiseOn", "NoiseOff", "CloseEcrPort"}));
}

// ---- a late frame of the ECR taken before ----

// ECRs 3 (serial 3001) and 7 (serial 7001) have answered once; from then on ECR 3's
// takes fail, and what ECR 7's take brings is up to each test.
class PolThreadLateFrame : public PolThreadLoop {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RunTwo(3, {RES_OK, "3001;"}, 7, {RES_OK, "7001;"}));
    fake_.SetTakeReply(3, {RES_TIMEOUT, ""});
  }

  // One more round: ECR 3 fails, ECR 7's take reads `reply`; the events of that round.
  Lines Round(const std::string& reply) {
    const std::size_t before = Exchange().size();
    fake_.SetTakeReply(7, {RES_OK, reply});
    fake_.AllowTakes(2);
    EXPECT_TRUE(fake_.WaitParked());
    const Lines all = Exchange();
    return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
  }
};

TEST_F(PolThreadLateFrame, ReplyWithAnotherEcrsSerialIsLeftUnacknowledgedForTheFrameAfterIt) {
  struct Case {
    const char* what;
    std::string lateFrame;
    std::vector<std::string> after;  // frames that follow it within the take
    Lines events;
  };
  const std::vector<Case> cases{
      {"in-line frame, ECR 7's own reply after it", "3001;", {"7001;"},
       {"TakeError 3 3 0", "Unacknowledged 3001;", "EcrInLine 7 7001; 0"}},
      {"on-line request, nothing after it", "3001;12;0;A;", {},
       {"TakeError 3 3 0", "Unacknowledged 3001;12;0;A;", "TakeError 7 2 0"}},
      {"two late frames, then the own reply", "3001;", {"3001;1;", "7001;"},
       {"TakeError 3 3 0", "Unacknowledged 3001;", "Unacknowledged 3001;1;", "EcrInLine 7 7001; 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& f : c.after) fake_.QueueFrameAfterRefusal(f);
    EXPECT_EQ(Round(c.lateFrame), c.events);
  }
  EXPECT_TRUE(Logged("Take 7: a frame of ECR 3 (serial 3001) was left unacknowledged"));
}

TEST_F(PolThreadLateFrame, RegisterMovedToAnotherNumberIsBelievedAfterItAnswersAloneThreeTimes) {
  for (int refused = 0; refused < TReplyGuard::MOVED_AFTER - 1; ++refused)
    EXPECT_EQ(Round("3001;"), (Lines{"TakeError 3 3 0", "Unacknowledged 3001;", "TakeError 7 2 0"}));
  EXPECT_EQ(Round("3001;"), (Lines{"TakeError 3 3 0", "EcrInLine 7 3001; 0"}));
  EXPECT_TRUE(Logged("Take 7: a frame with serial 3001 came again alone and is taken as ECR 7's own"));
  // Its serial number is now ECR 7's as well: taken at once from here on.
  EXPECT_EQ(Round("3001;"), (Lines{"TakeError 3 3 0", "EcrInLine 7 3001; 0"}));
}

// A slow register may answer two takes at once: its reply is taken, and the second copy
// arrives in the next ECR's take. Acknowledged there, the ACK would be taken by that ECR
// for its own report, which would then be lost.
TEST_F(PolThreadLoop, SecondCopyOfAnotherEcrsReplyIsLeftUnacknowledgedForTheFrameAfterIt) {
  poll_->SetOnlineWait(20ms);  // nobody answers the on-line requests here
  poll_->KnowSerial(3, 3001);  // known: neither first reply waits for a frame after it
  poll_->KnowSerial(7, 7001);
  fake_.QueueFrameAfterRefusal("7001;2;0;N92;");
  ASSERT_TRUE(RunTwo(3, {RES_OK, "3001;8;0;N89;"}, 7, {RES_OK, "3001;8;0;N89;"}));
  EXPECT_EQ(Exchange(), (Lines{"OnlReceived 3 3001;8;0;N89; 0", "SendReqTimeOut 3 0 0",
                               "Unacknowledged 3001;8;0;N89;", "OnlReceived 7 7001;2;0;N92; 0",
                               "SendReqTimeOut 7 0 0"}));
  EXPECT_TRUE(Logged("Take 7: a second copy of the reply of ECR 3 (serial 3001) was left unacknowledged"));
}

// After a restart the serial numbers come from the settings record: a late frame is
// told apart on the very first takes.
TEST_F(PolThreadLoop, SerialNumbersKnownBeforeTheFirstTakeCatchALateFrameAtOnce) {
  poll_->KnowSerial(3, 3001);
  poll_->KnowSerial(7, 7001);
  fake_.QueueFrameAfterRefusal("7001;");
  // ECR 7's reply: ECR 3's number, as another text.
  ASSERT_TRUE(RunTwo(3, {RES_TIMEOUT, ""}, 7, {RES_OK, "003001;"}));
  EXPECT_EQ(Exchange(), (Lines{"TakeError 3 3 0", "Unacknowledged 003001;", "EcrInLine 7 7001; 0"}));
}

// On a new line nothing is known: the first reply of ECR 7 right after ECR 3's take
// failed may be ECR 3's late frame. A frame after it within the take is ECR 7's.
TEST_F(PolThreadLoop, FirstReplyAfterAFailedTakeOfAnEcrNotHeardBeforeWaitsForAFrameAfterIt) {
  fake_.QueueFrameAfterRefusal("7001;");
  ASSERT_TRUE(RunTwo(3, {RES_TIMEOUT, ""}, 7, {RES_OK, "3001;"}));
  EXPECT_EQ(Exchange(), (Lines{"TakeError 3 3 0", "Unacknowledged 3001;", "EcrInLine 7 7001; 0"}));
  EXPECT_TRUE(Logged("Take 7: a frame with serial 3001 may be a late one of ECR 3, not heard before, "
                     "and was left unacknowledged"));
}

// Registers in the field carry all sorts of numbers in field 1; the frame of the ECR
// taken is refused only when it is known to be another's, whose take just failed.
TEST_F(PolThreadLateFrame, ReplyWithAnotherSerialNumberOfItsOwnIsTakenAndStored) {
  onlReceived_ = [](TPolThread& p) { p.Next(); };
  // Poll answers carry 7001, on-line blocks 1: both go through, each time.
  EXPECT_EQ(Round("1;7;2;;X1;"), (Lines{"TakeError 3 3 0", "OnlReceived 7 1;7;2;;X1; 0"}));
  EXPECT_EQ(Round("7001;"), (Lines{"TakeError 3 3 0", "EcrInLine 7 7001; 0"}));
  EXPECT_EQ(Round("1;8;2;;X1;"), (Lines{"TakeError 3 3 0", "OnlReceived 7 1;8;2;;X1; 0"}));
  // ECR 3's late frame is still told apart.
  fake_.QueueFrameAfterRefusal("7001;");
  EXPECT_EQ(Round("3001;"), (Lines{"TakeError 3 3 0", "Unacknowledged 3001;", "EcrInLine 7 7001; 0"}));
}

// The settings record remembers the number the register had before it was changed.
TEST_F(PolThreadLoop, RegisterWithANewNumberSinceTheLastStartIsTakenAtOnce) {
  poll_->KnowSerial(3, 3001);
  poll_->KnowSerial(7, 7000);
  ASSERT_TRUE(RunTwo(3, {RES_TIMEOUT, ""}, 7, {RES_OK, "7001;"}));
  EXPECT_EQ(Exchange(), (Lines{"TakeError 3 3 0", "EcrInLine 7 7001; 0"}));
}

// A device answering every take with its own number: each ECR is told once a minute.
TEST_F(PolThreadLoop, OneSerialAnsweringForSeveralEcrsIsLoggedCountedAndKept) {
  TLineStats stats;
  poll_->SetLineStats(&stats);
  for (const int ecr : {2, 3, 4}) {
    fake_.SetTakeReply(ecr, {RES_OK, "777777;"});
    poll_->AddEcr(ecr);
  }
  fake_.AllowTakes(9);
  poll_->Resume();
  ASSERT_TRUE(fake_.WaitParked());
  EXPECT_EQ(Exchange().size(), 9u);  // every take's reply went through
  // Not in the first round, in which ECR 2 had no round of its own yet.
  EXPECT_EQ(stats.Of(2).SharedSerial + stats.Of(3).SharedSerial + stats.Of(4).SharedSerial, 6u);
  ASSERT_EQ(stats.SharedSerials().size(), 1u);
  EXPECT_EQ(stats.SharedSerials()[0].Ecrs, (std::vector<int>{2, 3, 4}));
  const std::string log = testing::ReadFile(dir_.path() / "polobj-test.log");
  const std::string line = "Line: serial 777777 answers for ECR ";
  ASSERT_NE(log.find(line), std::string::npos);
  EXPECT_EQ(log.find(line, log.find(line) + 1), std::string::npos);  // once in the minute
}

// A device on the bus answers every take first, with its own number (a faulty register or
// a second master); each register answers after it. Both keep their own numbers and
// replies, and the operator is told which ECRs the device's number answered for.
TEST_F(PolThreadLoop, ADeviceAnsweringFirstForEveryEcrNeverPassesForTheRegisterAfterIt) {
  TLineStats stats;
  poll_->SetLineStats(&stats);
  poll_->KnowSerial(2, 2001);
  poll_->KnowSerial(3, 3001);
  for (int round = 0; round < 2; ++round) {
    fake_.QueueFrameAfterRefusal("2001;");
    fake_.QueueFrameAfterRefusal("3001;");
  }
  for (const int ecr : {2, 3}) {
    fake_.SetTakeReply(ecr, {RES_OK, "777777;"});
    poll_->AddEcr(ecr);
  }
  fake_.AllowTakes(4);
  poll_->Resume();
  ASSERT_TRUE(fake_.WaitParked());
  const Lines round{"Unacknowledged 777777;", "EcrInLine 2 2001; 0", "Unacknowledged 777777;", "EcrInLine 3 3001; 0"};
  Lines both = round;
  both.insert(both.end(), round.begin(), round.end());
  EXPECT_EQ(Exchange(), both);
  EXPECT_EQ(stats.Of(2).SharedSerial, 1u);  // from the second round on
  EXPECT_EQ(stats.Of(3).SharedSerial, 2u);
  ASSERT_EQ(stats.SharedSerials().size(), 1u);
  EXPECT_EQ(stats.SharedSerials()[0].Ecrs, (std::vector<int>{2, 3}));
  EXPECT_TRUE(Logged("Line: serial 777777 answers for ECR 2, 3\r\n"));
}

// A device streams frames with ever new serial numbers: once frames have come outside
// any take, a streamed frame in a take is left unacknowledged and counted with them; a
// register answering after it is taken, and one that is silent takes no streamed number,
// however many takes in a row.
TEST_F(PolThreadLoop, FramesOfAStreamingDeviceAreNeverTakenForAnEcrsOnceItShows) {
  TLineStats stats;
  poll_->SetLineStats(&stats);
  poll_->KnowSerial(2, 2001);
  poll_->KnowSerial(3, 3001);
  stats.CountOutsideTake();  // what the take before found waiting
  poll_->AddEcr(2);
  poll_->AddEcr(3);
  poll_->Resume();
  int streamed = 500000;
  for (int round = 0; round < TReplyGuard::MOVED_AFTER + 1; ++round) {
    const std::size_t before = Exchange().size();
    const std::string two = std::to_string(++streamed) + ";";
    const std::string three = std::to_string(++streamed) + ";";
    fake_.SetTakeReply(2, {RES_OK, two});
    fake_.QueueFrameAfterRefusal("2001;");
    fake_.SetTakeReply(3, {RES_OK, three});
    fake_.AllowTakes(2);
    ASSERT_TRUE(fake_.WaitParked());
    const Lines all = Exchange();
    EXPECT_EQ(Lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
              (Lines{"Unacknowledged " + two, "EcrInLine 2 2001; 0", "Unacknowledged " + three, "TakeError 3 2 0"}));
  }
  EXPECT_EQ(stats.OutsideTake(), 1u + 2 * (TReplyGuard::MOVED_AFTER + 1));
  EXPECT_FALSE(Logged("Take 3:")) << "one line a minute at most, by the line's count";
}

// Steps before ECR 7's reply is judged: takes with their result and accepted reply.
struct TStep {
  int ecr;
  std::int32_t result;
  const char* reply;
};

TEST(ReplyGuard, JudgesAReplyByTheSerialNumbersItKnows) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, std::int32_t>> known;  // from the settings record
    std::vector<TStep> steps;
    std::string reply;  // ECR 7's reply
    bool afterRefused;
    TReplyVerdict verdict;
    std::int32_t other;
  };
  using V = TReplyVerdict;
  constexpr auto OK = RES_OK;
  constexpr auto TO = RES_TIMEOUT;
  const std::vector<Case> cases{
      {"the serial of an ECR whose take just failed", {}, {{3, OK, "3001;"}, {7, OK, "7001;"}, {3, TO, ""}},
       "3001;", false, V::OtherEcr, 3},
      {"the same, taken ECR not heard", {}, {{3, OK, "3001;"}, {3, TO, ""}}, "3001;", false, V::OtherEcr, 3},
      {"the same, known from the record", {{3, 3001}, {7, 7001}}, {{3, TO, ""}}, "003001;", false, V::OtherEcr, 3},
      {"the failed ECR failed before the taken one's take",
       {}, {{3, OK, "3001;"}, {3, TO, ""}, {7, OK, "7001;"}, {5, OK, "5001;"}}, "3001;", false, V::Own, 0},
      {"the serial of an ECR that answered", {}, {{3, OK, "3001;"}, {5, OK, "5001;"}, {7, OK, "7001;"}},
       "5001;", false, V::Own, 0},
      {"own serial", {}, {{3, OK, "3001;"}, {7, OK, "7001;"}, {3, TO, ""}}, "7001;", false, V::Own, 0},
      {"own other serial (poll answer and on-line block differ)",
       {}, {{3, OK, "3001;"}, {7, OK, "004711;"}, {7, OK, "3001;1;"}, {3, TO, ""}}, "3001;", false, V::Own, 0},
      {"a new serial number", {}, {{3, OK, "3001;"}, {7, OK, "7001;"}, {3, TO, ""}}, "9001;", false, V::Unsure, 0},
      {"a new serial number, the record's differs", {{3, 3001}, {7, 7000}}, {{3, TO, ""}}, "7001;", false,
       V::Unsure, 0},
      {"no serial number", {}, {{3, OK, "3001;"}, {7, OK, "7001;"}, {3, TO, ""}}, "x;", false, V::Own, 0},
      {"first contact after a failed take of an ECR not heard", {}, {{3, TO, ""}}, "7001;", false, V::MaybeLate, 3},
      {"the same, after a refused frame", {}, {{3, TO, ""}}, "7001;", true, V::Unsure, 0},
      {"the same, an ECR between", {}, {{3, TO, ""}, {5, TO, ""}}, "7001;", false, V::MaybeLate, 5},
      {"first reply after a failed take of a known ECR", {}, {{3, OK, "3001;"}, {3, TO, ""}}, "7001;", false,
       V::Unsure, 0},
      {"first reply after a good take", {}, {{5, OK, "5001;"}}, "7001;", false, V::Unsure, 0},
      {"known from the record, after a failed take of an ECR not heard", {{7, 7001}}, {{3, TO, ""}}, "9;",
       false, V::Unsure, 0},
      {"a copy of the reply another ECR gave in this round", {}, {{7, OK, "7001;"}, {3, OK, "3001;8;N89;"}},
       "3001;8;N89;", false, V::Copy, 3},
      {"the same, not the first frame of the take", {}, {{7, OK, "7001;"}, {3, OK, "3001;8;N89;"}},
       "3001;8;N89;", true, V::Own, 0},
      {"another frame with that serial number", {}, {{7, OK, "7001;"}, {3, OK, "3001;8;N89;"}},
       "3001;9;N90;", false, V::Own, 0},
      {"a copy of a reply from before the taken ECR's take before", {},
       {{3, OK, "3001;8;N89;"}, {7, OK, "7001;"}}, "3001;8;N89;", false, V::Own, 0},
      {"registers sharing a serial number", {}, {{7, OK, "3001;8;N89;"}, {3, OK, "3001;8;N89;"}}, "3001;8;N89;",
       false, V::Own, 0},
      {"a poll answer alike the one another ECR answered with in this round", {}, {{7, OK, "7001;"}, {3, OK, "3001;"}},
       "3001;", false, V::Shared, 3},
      {"a poll answer with a number another ECR was answered with in this round", {{7, 7001}}, {{5, OK, "777777;"}},
       "777777;", false, V::Shared, 5},
      {"the same, the taken ECR known by no number", {}, {{5, OK, "777777;"}}, "777777;", false, V::Own, 0},
      {"the same, an on-line block", {{7, 7001}}, {{5, OK, "777777;1;0;A;"}}, "777777;2;0;B;", false, V::Own, 0},
      {"the same, a number the taken ECR has besides its own", {{7, 7001}}, {{7, OK, "777777;"}, {5, OK, "777777;"}},
       "777777;", false, V::Shared, 5},
      {"the same, answered before the taken ECR's take before", {{7, 7001}}, {{5, OK, "777777;"}, {7, OK, "7001;"}},
       "777777;", false, V::Own, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TReplyGuard g;
    for (const auto& [ecr, serial] : c.known) g.Know(ecr, serial);
    for (const TStep& s : c.steps) g.Taken(s.ecr, s.result, s.reply);
    const TReplyJudgement j = g.Judge(7, c.reply, c.afterRefused);
    EXPECT_EQ(j.Verdict, c.verdict);
    EXPECT_EQ(j.Other, c.other);
  }
}

// ECR 3 has gone silent and ECR 7 answers with ECR 3's number: a moved register, unless
// another ECR answers with that number in the same round.
TEST(ReplyGuard, AnotherEcrsSerialIsBelievedOnlyAfterRefusalsInARowAndWhenNobodyElseAnswersWithIt) {
  TReplyGuard g;
  g.Taken(3, RES_OK, "3001;");
  g.Taken(7, RES_OK, "7001;");
  const auto round = [&](std::int32_t result7, bool fiveAnswers = false) {
    g.Taken(3, RES_TIMEOUT, "");
    if (fiveAnswers) g.Taken(5, RES_OK, "3001;");
    const TReplyVerdict v = g.Judge(7, "3001;", false).Verdict;
    g.Taken(7, result7, "");
    return v;
  };
  for (int i = 1; i < TReplyGuard::MOVED_AFTER - 1; ++i) EXPECT_EQ(round(RES_DIFF), TReplyVerdict::OtherEcr);
  EXPECT_EQ(round(RES_TIMEOUT), TReplyVerdict::OtherEcr);  // a take not refused breaks the run
  for (int i = 1; i < TReplyGuard::MOVED_AFTER; ++i) EXPECT_EQ(round(RES_DIFF), TReplyVerdict::OtherEcr);
  EXPECT_EQ(round(RES_DIFF, true), TReplyVerdict::OtherEcr);
  EXPECT_EQ(round(RES_DIFF, true), TReplyVerdict::OtherEcr);
  EXPECT_EQ(round(RES_DIFF), TReplyVerdict::Believed);
}

// Two registers sharing a serial number and sending the same frame: the copy rule
// delays the second one by MOVED_AFTER - 1 takes, never longer.
TEST(ReplyGuard, ACopyIsRefusedOnlyUntilTheTakesRefusedInARowShowItIsTheEcrsOwn) {
  TReplyGuard g;
  g.Taken(7, RES_OK, "7001;");
  for (int i = 1; i < TReplyGuard::MOVED_AFTER; ++i) {
    g.Taken(3, RES_OK, "3001;8;N89;");
    EXPECT_EQ(g.Judge(7, "3001;8;N89;", false).Verdict, TReplyVerdict::Copy);
    g.Taken(7, RES_DIFF, "");
  }
  g.Taken(3, RES_OK, "3001;8;N89;");
  EXPECT_EQ(g.Judge(7, "3001;8;N89;", false).Verdict, TReplyVerdict::Own);
}

// While frames arrive outside any take, the first frame of a take with a number nobody is
// known by is refused; the same number refused take after take is a register's whose
// number changed, held (and so taken) at the MOVED_AFTER-th take. Without such frames it
// is held at once.
TEST(ReplyGuard, ANumberNobodyKnowsIsHeldOrWhileFramesStreamRefused) {
  TReplyGuard g;
  g.Taken(3, RES_OK, "3001;");
  EXPECT_EQ(g.Judge(3, "9001;", false).Verdict, TReplyVerdict::Unsure);
  g.FramesOutsideTakes(true);
  EXPECT_EQ(g.Judge(3, "9001;", true).Verdict, TReplyVerdict::Unsure) << "not the take's first frame";
  EXPECT_EQ(g.Judge(3, "3001;", false).Verdict, TReplyVerdict::Own);
  for (int i = 1; i < TReplyGuard::MOVED_AFTER; ++i) {
    const TReplyJudgement j = g.Judge(3, "9001;", false);
    EXPECT_EQ(j.Verdict, TReplyVerdict::Stray);
    g.Offered(3, j);
    g.Taken(3, RES_DIFF, "");
  }
  EXPECT_EQ(g.Judge(3, "9001;", false).Verdict, TReplyVerdict::Unsure);
  EXPECT_EQ(g.Judge(3, "9002;", false).Verdict, TReplyVerdict::Stray) << "a new number each time never is";
  g.FramesOutsideTakes(false);
  EXPECT_EQ(g.Judge(3, "9002;", false).Verdict, TReplyVerdict::Unsure);
}

TEST(ReplyGuard, TellsWhichOtherEcrsAnsweredWithTheSameSerialInTheRound) {
  TReplyGuard g;
  for (const int ecr : {2, 3, 4}) EXPECT_TRUE(g.Taken(ecr, RES_OK, "777777;").empty());  // first round
  EXPECT_EQ(g.Taken(2, RES_OK, "777777;"), (std::vector<int>{3, 4}));
  EXPECT_EQ(g.Taken(3, RES_OK, "3001;"), (std::vector<int>{}));
  EXPECT_EQ(g.Taken(4, RES_OK, "777777;"), (std::vector<int>{2}));  // 3 left it
  EXPECT_TRUE(g.Taken(2, RES_OK, "0;").empty());                  // no number: nobody's
}

}  // namespace
}  // namespace kassiro
