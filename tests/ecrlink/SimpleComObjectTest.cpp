// The serial protocol over an in-memory line on a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "MemoryPort.h"
#include "ecrlink/FrameCodec.h"
#include "ecrlink/LineCounters.h"
#include "ecrlink/LineTrace.h"
#include "util/HexText.h"
#include "TempDir.h"
#include "ecrlink/ProtConst.h"
#include "ecrlink/SimpleComObject.h"

namespace kassiro {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }
Bytes EcrFrame(std::string_view payload) { return ToBytes(BuildFrame(payload, 0).view()); }
const Bytes kAck = {0xFF, 0x06};
const Bytes kNak = {0xFF, 0x15};
const Bytes kRelease = {0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x13};

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// One line: a fake clock, the in-memory port and the protocol object on them.
struct TLine {
  explicit TLine(std::int32_t speed = 9600) {
    com.SetCommPortName("COM1");
    com.SetSpeed(speed);
    com.SetLogSink([this](std::string_view line) {
      std::lock_guard lk(logMu);
      log.emplace_back(line);
    });
  }
  void Open() {
    com.OpenEcrPort();
    port.ClearWrites();
  }
  std::vector<std::string> Log() {
    std::lock_guard lk(logMu);
    return log;
  }
  std::vector<Bytes> WrittenChunks() const {
    std::vector<Bytes> out;
    for (auto& w : port.Writes()) out.push_back(w.bytes);
    return out;
  }

  FakeClock clock;
  MemoryPort port{clock, 9600};
  std::mutex logMu;
  std::vector<std::string> log;
  TSimpleComObject com{port.Factory(), clock};
};

class ComTest : public ::testing::Test, protected TLine {};

// ------------------------------------------------------------ opening and closing

TEST_F(ComTest, OpenUsesNameAndSpeedAndCloseReleasesTheLine) {
  com.OpenEcrPort();
  EXPECT_TRUE(com.IsOpen());
  EXPECT_EQ(port.LastPortName(), "COM1");
  EXPECT_EQ(port.Speed(), 9600);
  EXPECT_TRUE(port.IsOpen());
  port.ClearWrites();
  com.CloseEcrPort();
  EXPECT_FALSE(com.IsOpen());
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(WrittenChunks(), std::vector<Bytes>{kRelease});
  com.CloseEcrPort();  // closed already: nothing
  EXPECT_EQ(port.Writes().size(), 1u);
}

TEST_F(ComTest, MisuseRaisesECommErrorWithTheTexts) {
  const auto text = [](auto&& fn) {
    try {
      fn();
    } catch (const ECommError& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  ShortStr block = "keep";
  EXPECT_EQ(text([&] { com.TakeEcr(1, block); }), "Port not open COM1!");
  EXPECT_EQ(text([&] { com.FreeEcr(); }), "Port not open COM1!");
  EXPECT_EQ(text([&] { com.SendBlock("x"); }), "Port not open COM1!");
  EXPECT_EQ(text([&] { com.GetBlock(block, BIG_TO); }), "Port not open COM1!");
  EXPECT_TRUE(port.Writes().empty());

  com.OpenEcrPort();
  EXPECT_EQ(text([&] { com.OpenEcrPort(); }), "Port COM1 already taken!");
  EXPECT_EQ(port.OpenCount(), 1);
  com.CloseEcrPort();
  EXPECT_EQ(text([&] { com.FreeEcr(); }), "Port not open COM1!");
}

TEST_F(ComTest, UnsupportedSpeedIsRefusedBeforeThePortOpens) {
  com.SetSpeed(1000);
  try {
    com.OpenEcrPort();
    FAIL() << "opened at 1000 baud";
  } catch (const ECommError& e) {
    EXPECT_STREQ(e.what(), "Unsupported speed 1000 for port COM1!");
  }
  EXPECT_EQ(port.OpenCount(), 0);
  EXPECT_FALSE(com.IsOpen());
  com.SetSpeed(28800);
  com.OpenEcrPort();
  EXPECT_TRUE(com.IsOpen());
}

TEST_F(ComTest, PortFailureLeavesTheObjectClosed) {
  port.FailNextOpen("Unable to configure port COM1!");
  EXPECT_THROW(com.OpenEcrPort(), ECommError);
  EXPECT_FALSE(com.IsOpen());
  com.OpenEcrPort();  // a later start works
  EXPECT_TRUE(com.IsOpen());
}

TEST_F(ComTest, SecondObjectOnTheSameLineIsRefused) {
  com.OpenEcrPort();
  TSimpleComObject second(port.Factory(), clock);
  second.SetCommPortName("COM1");
  second.SetSpeed(9600);
  try {
    second.OpenEcrPort();
    FAIL() << "second open succeeded";
  } catch (const ECommError& e) {
    EXPECT_STREQ(e.what(), "Unable to open port COM1!");
  }
  EXPECT_FALSE(second.IsOpen());
}

// ------------------------------------------------------------ take

TEST_F(ComTest, TakeSendsTheRequestAndAcknowledgesTheReply) {
  Open();
  port.QueueIncoming(clock.Now() - 5, {0x15, 0x0A, 'o', 'l', 'd'});  // stale: purged before the request
  port.SetPeer([](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
    if (bytes.size() == 6 && bytes[2] == ECR_TAKE) p.QueueIncoming(at + 20, EcrFrame("R"));
  });
  ShortStr block;
  EXPECT_EQ(com.TakeEcr(5, block), RES_OK);
  EXPECT_EQ(block.view(), "R");
  const Bytes take = {0xFF, 0xFF, 0x11, 0x11, 0x30, 0x35};
  EXPECT_EQ(WrittenChunks(), (std::vector<Bytes>{take, kAck}));
}

// The reply's first byte is due within 2 x the request's transmit time + TAKE_TO of the
// start of the write: at 9600 baud 64 ms. "Later than" is strict.
TEST_F(ComTest, TakeWindowBoundary) {
  struct Case {
    Millis replyAt;
    std::int32_t result;
  };
  for (const Case c : {Case{63, RES_OK}, Case{64, RES_OK}, Case{65, RES_TIMEOUT}}) {
    SCOPED_TRACE(c.replyAt);
    TLine line;
    line.Open();
    const auto peer = line.port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
      if (bytes.size() == 6 && bytes[2] == ECR_TAKE) p.QueueIncoming(at + c.replyAt, EcrFrame("ok"));
    });
    ShortStr block = "stale";
    EXPECT_EQ(line.com.TakeEcr(3, block), c.result);
    EXPECT_EQ(block.view(), c.result == RES_OK ? "ok" : "");
  }
}

TEST_F(ComTest, SilenceAfterTakeTimesOutAfter64Ms) {
  Open();
  const Millis t0 = clock.Now();
  ShortStr block = "stale";
  EXPECT_EQ(com.TakeEcr(5, block), RES_TIMEOUT);
  EXPECT_TRUE(block.empty());
  EXPECT_GT(clock.Now() - t0, 64);
  EXPECT_LE(clock.Now() - t0, 64 + 10);  // noticed within one read window
}

// A take reply the reply check refuses gets no ACK: the take reads on for its own reply,
// due within TAKE_TO of the refused frame's end. A held one ("maybe") is the reply when
// nothing comes after it within TAKE_TO and the check then takes it ("maybe-not" it does
// not). Later reads are not checked.
TEST(SimpleComObject, ARefusedTakeReplyIsNotAcknowledgedAndTheTakeReadsOn) {
  struct Case {
    const char* what;
    std::vector<std::pair<Millis, std::string>> frames;  // after the request, with their delays
    std::int32_t result;
    std::string block;
    int acks;
  };
  const std::vector<Case> cases{
      {"own reply after a refused one", {{10, "other"}, {30, "own"}}, RES_OK, "own", 1},
      {"own reply just within TAKE_TO of the refused one's end", {{10, "other"}, {50, "own"}}, RES_OK, "own", 1},
      {"own reply too late", {{10, "other"}, {51, "own"}}, RES_DIFF, "", 0},
      {"nothing after the refused one", {{10, "other"}}, RES_DIFF, "", 0},
      {"own reply alone", {{10, "own"}}, RES_OK, "own", 1},
      {"a held frame, then the own reply", {{10, "maybe"}, {30, "own"}}, RES_OK, "own", 1},
      {"a held frame alone", {{10, "maybe"}}, RES_OK, "maybe", 1},
      {"a held frame, then a refused one", {{10, "maybe"}, {30, "other"}}, RES_OK, "maybe", 1},
      {"two held frames: the later one", {{10, "maybe"}, {30, "maybe2"}}, RES_OK, "maybe2", 1},
      {"a held frame the check then refuses", {{10, "maybe-not"}}, RES_DIFF, "", 0},
  };
  using A = TBasicCommunicationObject::TReplyAnswer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TLine line;
    line.Open();
    line.com.SetReplyCheck([](const ShortStr& b, bool held) {
      if (b.view().starts_with("maybe")) return held && b.view() != "maybe-not" ? A::Take : held ? A::Refuse : A::Wait;
      return b.view() == "other" ? A::Refuse : A::Take;
    });
    const auto peer = line.port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
      if (bytes.size() != 6 || bytes[2] != ECR_TAKE) return;
      // Each frame comes whole, its delay counted from the one before.
      Millis t = at;
      for (const auto& [delay, payload] : c.frames) p.QueueIncoming(t += delay, EcrFrame(payload));
    });
    ShortStr block = "stale";
    EXPECT_EQ(line.com.TakeEcr(3, block), c.result);
    EXPECT_EQ(block.view(), c.block);
    const auto chunks = line.WrittenChunks();
    EXPECT_EQ(std::count(chunks.begin(), chunks.end(), kAck), c.acks);
  }
  TLine line;
  line.Open();
  line.com.SetReplyCheck([](const ShortStr&, bool) { return A::Refuse; });
  line.port.QueueIncoming(line.clock.Now() + 1, EcrFrame("other"));
  ShortStr block;
  EXPECT_EQ(line.com.GetBlock(block, BIG_TO), RES_OK);
  EXPECT_EQ(block.view(), "other");
}

// ------------------------------------------------------------ receiving a frame

TEST_F(ComTest, NoiseBeforeTheFrameAndARestartedFrame) {
  Open();
  const Millis t0 = clock.Now();
  port.QueueIncoming(t0 + 5, {0xFE, 0xFE, 0xFF, 0xFF, 0x0A, 'x', 'y'});
  port.QueueIncoming(t0 + 8, EcrFrame("abc"));
  ShortStr block;
  EXPECT_EQ(com.GetBlock(block, BIG_TO), RES_OK);
  EXPECT_EQ(block.view(), "abc");
  EXPECT_EQ(WrittenChunks(), std::vector<Bytes>{kAck});
}

TEST(SimpleComObject, BytesOfAFrameMayComeAtMostByteTimeoutApart) {
  for (const Millis gap : {Millis{100}, Millis{101}}) {
    SCOPED_TRACE(gap);
    TLine line;
    line.Open();
    line.port.QueueIncoming(line.clock.Now() + 1, EcrFrame("gap"), gap);
    ShortStr block;
    const std::int32_t r = line.com.GetBlock(block, BIG_TO);
    EXPECT_EQ(r, gap == Millis{BYTE_TO} ? RES_OK : RES_TIMEOUT);
    EXPECT_EQ(block.view(), r == RES_OK ? "gap" : "");
  }
}

TEST_F(ComTest, BadFrameIsAskedForAgainThenNakAfterTheNinthCopy) {
  Open();
  Bytes bad = EcrFrame("data");
  bad.back() ^= 0xFF;
  int copies = 1;
  port.QueueIncoming(clock.Now() + 1, bad);
  const auto peer = port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
    if (ToBytes(bytes) == kNak) {
      ++copies;
      p.QueueIncoming(at + 5, bad);
    }
  });
  ShortStr block = "stale";
  EXPECT_EQ(com.GetBlock(block, BIG_TO), RES_NAK);
  EXPECT_TRUE(block.empty());
  EXPECT_EQ(copies, 9);
  EXPECT_EQ(WrittenChunks(), std::vector<Bytes>(8, kNak));
}

TEST_F(ComTest, BadFrameThenGoodCopy) {
  Open();
  Bytes bad = EcrFrame("data");
  bad[2] ^= 0x01;
  port.QueueIncoming(clock.Now() + 1, bad);
  const auto peer = port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
    if (ToBytes(bytes) == kNak) p.QueueIncoming(at + 10, EcrFrame("data"));
  });
  ShortStr block;
  EXPECT_EQ(com.GetBlock(block, BIG_TO), RES_OK);
  EXPECT_EQ(block.view(), "data");
  EXPECT_EQ(WrittenChunks(), (std::vector<Bytes>{kNak, kAck}));
}

// After a NAK the repeated frame's 0A is due within BYTE_TO of the end of the NAK
// (FF 15 takes 3 ms at 9600 baud).
TEST(SimpleComObject, RepeatAfterNakIsDueWithinByteTimeoutOfTheNaksEnd) {
  for (const Millis delay : {Millis{103}, Millis{104}}) {
    SCOPED_TRACE(delay);
    TLine line;
    line.Open();
    Bytes bad = EcrFrame("d");
    bad.back() ^= 0x01;
    line.port.QueueIncoming(line.clock.Now() + 1, bad);
    const auto peer = line.port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
      if (ToBytes(bytes) == kNak) p.QueueIncoming(at + delay, EcrFrame("d"));
    });
    ShortStr block;
    EXPECT_EQ(line.com.GetBlock(block, BIG_TO), delay <= 103 ? RES_OK : RES_TIMEOUT);
  }
}

TEST_F(ComTest, GetBlockWindowCountsFromTheLastWrite) {
  Open();
  com.FreeEcr();  // 6 bytes at t0, 7 ms
  const Millis t0 = port.Writes().back().at;
  port.QueueIncoming(t0 + 1000 + 7 + 1, EcrFrame("late"));
  ShortStr block;
  EXPECT_EQ(com.GetBlock(block, 1000), RES_TIMEOUT);
  port.ClearWrites();
  com.FreeEcr();
  const Millis t1 = port.Writes().back().at;
  port.QueueIncoming(t1 + 1000 + 7, EcrFrame("in time"));
  EXPECT_EQ(com.GetBlock(block, 1000), RES_OK);
  EXPECT_EQ(block.view(), "in time");
}

// ------------------------------------------------------------ sending a frame

TEST_F(ComTest, SendBlockFrameAt9600AndAck) {
  Open();
  port.SetPeer([](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
    if (bytes.size() > 2) p.QueueIncoming(at + 30, {0xFE, 0x33, ECR_ACK});
  });
  EXPECT_EQ(com.SendBlock("abc"), RES_OK);
  const Bytes frame = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                       0x0A, 0x61, 0x62, 0x63, 0x0D, 0x3C, 0xDE};
  EXPECT_EQ(WrittenChunks(), std::vector<Bytes>{frame});
  EXPECT_EQ(port.PurgeOutputCount(), 0);  // our own output is never thrown away
}

TEST_F(ComTest, NineTransmissionsThenNak) {
  Open();
  port.SetPeer([](MemoryPort& p, std::span<const std::uint8_t>, Millis at) { p.QueueIncoming(at + 20, {ECR_NAK}); });
  EXPECT_EQ(com.SendBlock("abc"), RES_NAK);
  const auto chunks = WrittenChunks();
  ASSERT_EQ(chunks.size(), 9u);
  for (const auto& c : chunks) EXPECT_EQ(c, chunks.front());
}

TEST_F(ComTest, AckAfterSomeNaks) {
  Open();
  int sent = 0;
  const auto peer = port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t>, Millis at) {
    p.QueueIncoming(at + 20, {++sent < 4 ? ECR_NAK : ECR_ACK});
  });
  EXPECT_EQ(com.SendBlock("x"), RES_OK);
  EXPECT_EQ(sent, 4);
}

// The ACK window: the frame's transmit time + ACK_TO from the start of the latest
// transmission ("abc" at 9600: 16 bytes, 17 ms, so 217 ms).
TEST(SimpleComObject, AckWindowBoundaryCountsFromTheLatestTransmission) {
  struct Case {
    Millis firstAck, secondAck;  // firstAck 0: the first answer is a NAK at +50
    std::int32_t result;
  };
  for (const Case c : {Case{217, 0, RES_OK}, Case{218, 0, RES_TIMEOUT}, Case{0, 217, RES_OK},
                       Case{0, 218, RES_TIMEOUT}}) {
    SCOPED_TRACE(::testing::Message() << c.firstAck << "/" << c.secondAck);
    TLine line;
    line.Open();
    int n = 0;
    const auto peer = line.port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
      if (bytes.size() != 16) return;
      if (++n == 1) p.QueueIncoming(at + (c.firstAck ? c.firstAck : 50), {c.firstAck ? ECR_ACK : ECR_NAK});
      else p.QueueIncoming(at + c.secondAck, {ECR_ACK});
    });
    EXPECT_EQ(line.com.SendBlock("abc"), c.result);
    EXPECT_EQ(n, c.firstAck ? 1 : 2);
  }
}

TEST_F(ComTest, LongPayloadIsCutAndTheFrameGoesOutWhole) {
  com.SetSpeed(38400);  // 15 fill bytes: the largest frame
  Open();
  port.SetPeer([](MemoryPort& p, std::span<const std::uint8_t>, Millis at) { p.QueueIncoming(at + 20, {ECR_ACK}); });
  const std::string payload(255, 'p');
  EXPECT_EQ(com.SendBlock(ShortStr(payload)), RES_OK);
  const auto chunks = WrittenChunks();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].size(), 15u + 1 + 254 + 1 + 2);
  TFrameReceiver rx;
  TRxEvent last = TRxEvent::rxIgnored;
  for (const std::uint8_t b : chunks[0]) last = rx.Consume(b);
  EXPECT_EQ(last, TRxEvent::rxFrameGood);
  EXPECT_EQ(rx.Payload().view(), payload.substr(0, 254));
}

// ------------------------------------------------------------ abort

TEST_F(ComTest, AbortEndsTheWaitUnderWayAndEveryLaterOne) {
  Open();
  // The abort comes while the take waits for its reply, which is on its way.
  const auto peer = port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
    if (bytes.size() == 6 && bytes[2] == ECR_TAKE) {
      p.QueueIncoming(at + 50, EcrFrame("R"));
      com.Abort();
    }
  });
  ShortStr block = "stale";
  const Millis t0 = clock.Now();
  EXPECT_EQ(com.TakeEcr(5, block), RES_TIMEOUT);
  EXPECT_TRUE(block.empty());
  EXPECT_LE(clock.Now() - t0, 7 + 10);  // one read window after the request
  port.ClearWrites();

  EXPECT_EQ(com.SendBlock("abc"), RES_TIMEOUT);
  EXPECT_EQ(com.GetBlock(block, BIG_TO), RES_TIMEOUT);
  EXPECT_EQ(com.TakeEcr(5, block), RES_TIMEOUT);
  EXPECT_TRUE(port.Writes().empty());  // the line is left alone
  com.CloseEcrPort();
  EXPECT_EQ(WrittenChunks(), std::vector<Bytes>{kRelease});
}

// ------------------------------------------------------------ filler

TEST_F(ComTest, NoiseStepWritesFillerOnlyAfterTheIdleTime) {
  Open();
  com.FreeEcr();  // 6 bytes, 7 ms
  const Millis t0 = port.Writes().back().at;
  port.ClearWrites();
  clock.Set(t0 + 7 + 330);
  com.NoiseStep();
  EXPECT_TRUE(port.Writes().empty());
  clock.Set(t0 + 7 + 331);
  com.NoiseStep();
  ASSERT_EQ(WrittenChunks(), (std::vector<Bytes>{Bytes{0xFE, 0xFE}}));

  // Any write postpones the next filler; FE FE takes 3 ms.
  const Millis t1 = port.Writes().back().at;
  clock.Set(t1 + 200);
  com.FreeEcr();
  clock.Set(t1 + 3 + 331);
  com.NoiseStep();
  EXPECT_EQ(port.Writes().size(), 2u);
  clock.Set(t1 + 200 + 7 + 331);
  com.NoiseStep();
  EXPECT_EQ(port.Writes().size(), 3u);
  EXPECT_EQ(port.Writes().back().bytes, (Bytes{0xFE, 0xFE}));
}

TEST_F(ComTest, NoiseThreadRunsWhenOnParksWhenOffAndStopsOnClose) {
  Open();
  com.NoiseOn();
  clock.Advance(10000);
  ASSERT_TRUE(WaitUntil([&] { return !port.Writes().empty(); }));
  EXPECT_EQ(port.Writes().front().bytes, (Bytes{0xFE, 0xFE}));

  com.NoiseOff();  // returns when no filler step runs
  const std::size_t n = port.Writes().size();
  clock.Advance(10000);  // long idle: a running filler would write at once
  std::this_thread::sleep_for(3 * TNoiseThread::PERIOD);
  EXPECT_EQ(port.Writes().size(), n);

  com.NoiseOn();
  clock.Advance(10000);
  ASSERT_TRUE(WaitUntil([&] { return port.Writes().size() > n; }));
  const auto before = std::chrono::steady_clock::now();
  com.CloseEcrPort();  // joins the filler thread
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

TEST_F(ComTest, NoiseOnBeforeOpenAndDestructionWhileRunning) {
  com.NoiseOn();  // no thread yet: nothing happens
  com.NoiseOff();
  {
    TLine line;
    line.Open();
    line.com.NoiseOn();
    line.clock.Advance(10000);
    ASSERT_TRUE(WaitUntil([&] { return !line.port.Writes().empty(); }));
  }  // the destructor releases the line and ends the thread
}

// ------------------------------------------------------------ failed I/O

// Failures of single transfers (here a write the device did not take in time) are
// left to the time-outs: logged once per run, with one line when the line works again.
TEST_F(ComTest, FailedReadsAreLoggedOncePerRunAndRecoveryIsCounted) {
  Open();
  port.FailNextReads(50, ETIMEDOUT);
  port.QueueIncoming(clock.Now() + 600, EcrFrame("back"));
  ShortStr block;
  EXPECT_EQ(com.GetBlock(block, BIG_TO), RES_OK);
  EXPECT_EQ(block.view(), "back");
  EXPECT_EQ(Log(), (std::vector<std::string>{"Read error " + std::to_string(ETIMEDOUT) + "! GetBlock",
                                             "Serial line recovered after 50 failed reads/writes"}));
  EXPECT_FALSE(com.LineLost());
}

TEST_F(ComTest, FailedWritesAreLoggedWithTheirTexts) {
  Open();
  port.FailNextWrites(1, ETIMEDOUT);
  com.FreeEcr();
  EXPECT_EQ(Log().at(0), "WriteFileCs error " + std::to_string(ETIMEDOUT) + "! FreeEcr");
  com.FreeEcr();
  EXPECT_EQ(Log().at(1), "Serial line recovered after 1 failed reads/writes");

  port.FailNextWrites(1, EAGAIN);
  ShortStr block;
  EXPECT_EQ(com.TakeEcr(1, block), RES_TIMEOUT);  // the operation goes on to its time-out
  EXPECT_EQ(Log().at(2), "Write error 11! TakeEcr");

  port.FailNextWrites(1, ETIMEDOUT);
  clock.Advance(1000);
  com.NoiseStep();
  EXPECT_EQ(Log().at(4), "WriteFileCs error " + std::to_string(ETIMEDOUT) + "! NoiseThread");
  EXPECT_EQ(Log().size(), 5u);

  port.FailNextWrites(1, ETIMEDOUT);
  port.QueueIncoming(clock.Now() + 1, EcrFrame("z"));
  EXPECT_EQ(com.GetBlock(block, BIG_TO), RES_OK);  // the ACK failed; the block is still ours
  EXPECT_EQ(Log().at(6), "Write error " + std::to_string(ETIMEDOUT) + "! AckNak");
  EXPECT_FALSE(com.LineLost());
}

// A device that is gone fails the operation under way and every later one at once,
// without touching the line, until it is opened again by its name. The loss and the
// return are logged once each, however many attempts it takes.
TEST_F(ComTest, LostDeviceFailsAtOnceUntilOpenedAgain) {
  const int errs[] = {EIO, ENXIO, ENODEV, EBADF};
  for (const int err : errs) {
    SCOPED_TRACE(err);
    TLine line;
    line.Open();
    line.port.FailNextReads(1, err);
    ShortStr block;
    EXPECT_EQ(line.com.GetBlock(block, BIG_TO), RES_TIMEOUT);
    EXPECT_TRUE(line.com.LineLost());
    const std::size_t writes = line.port.Writes().size();
    const Millis before = line.clock.Now();
    EXPECT_EQ(line.com.TakeEcr(3, block), RES_TIMEOUT);
    EXPECT_EQ(line.com.SendBlock("x"), RES_TIMEOUT);
    EXPECT_EQ(line.com.GetBlock(block, BIG_TO), RES_TIMEOUT);
    line.com.FreeEcr();
    line.clock.Advance(1000);
    line.com.NoiseStep();
    EXPECT_EQ(line.port.Writes().size(), writes);
    EXPECT_EQ(line.clock.Now(), before + 1000);  // no operation waited for its time-out

    line.port.FailNextOpen("Unable to open port COM1!");
    EXPECT_FALSE(line.com.ReopenEcrPort());
    EXPECT_FALSE(line.port.IsOpen());  // the lost device is closed
    EXPECT_TRUE(line.com.LineLost());
    EXPECT_EQ(line.com.TakeEcr(3, block), RES_TIMEOUT);
    EXPECT_TRUE(line.com.ReopenEcrPort());
    EXPECT_FALSE(line.com.LineLost());
    EXPECT_EQ(line.port.OpenCount(), 2);
    EXPECT_EQ(line.port.LastPortName(), "COM1");

    line.port.QueueIncoming(line.clock.Now() + 1, EcrFrame("1;"));
    EXPECT_EQ(line.com.GetBlock(block, BIG_TO), RES_OK);
    EXPECT_EQ(line.Log(), (std::vector<std::string>{
                              "Port COM1 lost: Read error " + std::to_string(err) + "! GetBlock",
                              "Port COM1 open again"}));
  }
}

TEST_F(ComTest, LostDeviceSeenByAWriteOrTheFillerAndClosedWhileLost) {
  Open();
  port.FailNextWrites(1, EIO);
  com.NoiseOn();
  clock.Advance(1000);
  ASSERT_TRUE(WaitUntil([&] { return com.LineLost(); }));
  com.NoiseOff();
  EXPECT_EQ(Log(), (std::vector<std::string>{"Port COM1 lost: WriteFileCs error 5! NoiseThread"}));
  EXPECT_TRUE(com.ReopenEcrPort());
  port.FailNextWrites(1, EIO);
  ShortStr block;
  EXPECT_EQ(com.TakeEcr(1, block), RES_TIMEOUT);
  EXPECT_EQ(Log().back(), "Port COM1 lost: Write error 5! TakeEcr");
  port.FailNextOpen("Unable to open port COM1!");
  EXPECT_FALSE(com.ReopenEcrPort());
  com.CloseEcrPort();  // also between two attempts, with no device open
  EXPECT_FALSE(com.LineLost());
  EXPECT_FALSE(com.IsOpen());
  EXPECT_THROW(com.TakeEcr(1, block), ECommError);
}

// ------------------------------------------------------------ line counters

// What the line did, counted for the ECR taken last. Each row plays one situation on a
// fresh line and lists the counters of ECR 5 afterwards (LastAnswer only as set or not).
TEST(SimpleComObject, LineCountersPerSituation) {
  struct TCounts {
    std::uint64_t takes, answered, timeOuts, badCrc, naksSent, naksRcvd, repeats;
    bool answeredAt;
  };
  // The ECR answers a take with its reply frame after badCopies bad copies (each after
  // the computer's NAK), and answers a frame of the computer with naks NAKs, then ACK;
  // -1 leaves it silent at that point.
  struct TEcr {
    int badCopies = 0;    // -1: the take gets no reply
    int naks = 0;         // -1: a frame of the computer gets no ACK/NAK
  };
  enum class TThen { Nothing, Send, Get, SendAndGet };
  struct TCase {
    const char* name;
    TEcr ecr;
    TThen then;
    TCounts want;
  };
  const TCase cases[] = {
      {"take answered", {}, TThen::Nothing, {1, 1, 0, 0, 0, 0, 0, true}},
      {"silent ECR", {-1, 0}, TThen::Nothing, {1, 0, 1, 0, 0, 0, 0, false}},
      {"reply good after two bad copies", {2, 0}, TThen::Nothing, {1, 1, 0, 2, 2, 0, 0, true}},
      {"reply bad nine times", {9, 0}, TThen::Nothing, {1, 0, 0, 9, 8, 0, 0, false}},
      {"block taken after three NAKs", {0, 3}, TThen::Send, {1, 1, 0, 0, 0, 3, 3, true}},
      {"block refused nine times", {0, 9}, TThen::Send, {1, 1, 0, 0, 0, 9, 8, true}},
      {"block not acknowledged", {0, -1}, TThen::Send, {1, 1, 1, 0, 0, 0, 0, true}},
      {"no answer to an in-line block", {0, 0}, TThen::Get, {1, 1, 1, 0, 0, 0, 0, true}},
      {"block and answer", {0, 0}, TThen::SendAndGet, {1, 1, 0, 0, 0, 0, 0, true}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TLine line;
    TLineStats stats;
    line.com.SetLineStats(&stats);
    line.Open();
    int badLeft = c.ecr.badCopies;
    int naksLeft = c.ecr.naks;
    const Bytes reply = EcrFrame("R");
    Bytes bad = reply;
    bad.back() ^= 0x01;
    const auto peer = line.port.ScopedPeer([&](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
      const Bytes b = ToBytes(bytes);
      const bool take = b.size() == 6 && b[2] == ECR_TAKE;
      if ((take && c.ecr.badCopies >= 0) || (b == kNak && badLeft >= 0)) {
        p.QueueIncoming(at + 20, badLeft-- > 0 ? bad : reply);
      } else if (b.size() > 6 && c.ecr.naks >= 0) {  // a frame of the computer
        p.QueueIncoming(at + 30, {naksLeft-- > 0 ? ECR_NAK : ECR_ACK});
        if (naksLeft < 0 && c.then == TThen::SendAndGet) p.QueueIncoming(at + 60, EcrFrame("A"));
      }
    });
    const auto before = std::chrono::system_clock::now();
    ShortStr block;
    const std::int32_t took = line.com.TakeEcr(5, block);
    if (took == RES_OK && c.then != TThen::Nothing) {
      if (c.then != TThen::Get) line.com.SendBlock("cmd");
      if (c.then != TThen::Send) line.com.GetBlock(block, BIG_TO);
    }
    const TLineCounters got = stats.Of(5);
    const TCounts counts{got.Takes,    got.TakesAnswered, got.TimeOuts, got.BadCrc,
                         got.NaksSent, got.NaksReceived,  got.Repeats,  got.LastAnswer != 0};
    EXPECT_EQ(std::vector<std::uint64_t>({counts.takes, counts.answered, counts.timeOuts, counts.badCrc,
                                          counts.naksSent, counts.naksRcvd, counts.repeats}),
              std::vector<std::uint64_t>({c.want.takes, c.want.answered, c.want.timeOuts, c.want.badCrc,
                                          c.want.naksSent, c.want.naksRcvd, c.want.repeats}));
    EXPECT_EQ(counts.answeredAt, c.want.answeredAt);
    if (counts.answeredAt) {
      const auto secs = [](auto t) {
        return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
      };
      EXPECT_GE(got.LastAnswer, secs(before));
      EXPECT_LE(got.LastAnswer, secs(std::chrono::system_clock::now()));
    }
    for (const int other : {0, 1, 4, 6, 99}) EXPECT_EQ(stats.Of(other), TLineCounters{}) << other;
  }
}

// Each ECR has its own counters; after the release nothing is counted for anyone; a
// stop (abort) or a lost device is no time-out of the ECR, and a lost line takes nobody.
TEST_F(ComTest, LineCountersGoToTheEcrTakenLastAndOnlyForTheLine) {
  TLineStats stats;
  com.SetLineStats(&stats);
  Open();
  const auto peer = port.ScopedPeer([](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
    if (bytes.size() == 6 && bytes[2] == ECR_TAKE && bytes[5] == '3') p.QueueIncoming(at + 20, EcrFrame("R"));
  });
  ShortStr block;
  EXPECT_EQ(com.TakeEcr(3, block), RES_OK);
  EXPECT_EQ(com.TakeEcr(7, block), RES_TIMEOUT);
  EXPECT_EQ(com.TakeEcr(3, block), RES_OK);
  com.FreeEcr();
  EXPECT_EQ(com.GetBlock(block, 100), RES_TIMEOUT);  // after the release: nobody's
  EXPECT_EQ(stats.Of(3).Takes, 2u);
  EXPECT_EQ(stats.Of(3).TakesAnswered, 2u);
  EXPECT_EQ(stats.Of(3).TimeOuts, 0u);
  EXPECT_EQ(stats.Of(7).Takes, 1u);
  EXPECT_EQ(stats.Of(7).TakesAnswered, 0u);
  EXPECT_EQ(stats.Of(7).TimeOuts, 1u);
  EXPECT_EQ(stats.Of(7).LastAnswer, 0);

  EXPECT_EQ(com.TakeEcr(3, block), RES_OK);
  com.Abort();
  EXPECT_EQ(com.GetBlock(block, BIG_TO), RES_TIMEOUT);
  EXPECT_EQ(com.TakeEcr(3, block), RES_TIMEOUT);
  EXPECT_EQ(stats.Of(3).Takes, 3u) << "an aborted take puts nothing on the line";
  EXPECT_EQ(stats.Of(3).TimeOuts, 0u) << "a stop is no time-out of the ECR";

  TLine lost;
  TLineStats lostStats;
  lost.com.SetLineStats(&lostStats);
  lost.Open();
  lost.port.FailNextReads(1, EIO);
  EXPECT_EQ(lost.com.TakeEcr(4, block), RES_TIMEOUT);
  EXPECT_TRUE(lost.com.LineLost());
  EXPECT_EQ(lost.com.TakeEcr(4, block), RES_TIMEOUT);
  EXPECT_EQ(lostStats.Of(4).Takes, 1u) << "only the take that found the line gone";
  EXPECT_EQ(lostStats.Of(4).TimeOuts, 0u);
}

// Intact frames waiting before a take came outside any take: a device streaming frames
// to nobody. Counted each, logged once a minute with their serial numbers; noise is not.
TEST_F(ComTest, FramesWaitingBeforeATakeAreCountedAndLoggedOnceAMinute) {
  TLineStats stats;
  com.SetLineStats(&stats);
  Open();
  const auto peer = port.ScopedPeer([](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
    if (bytes.size() == 6 && bytes[2] == ECR_TAKE) p.QueueIncoming(at + 20, EcrFrame("7001;"));
  });
  const auto takeAfter = [&](std::vector<Bytes> waiting) {
    for (const Bytes& b : waiting) port.QueueIncoming(clock.Now() - 5, b);
    ShortStr block;
    EXPECT_EQ(com.TakeEcr(7, block), RES_OK);
    EXPECT_EQ(block.view(), "7001;");
  };
  Bytes spoilt = EcrFrame("666;");
  spoilt.back() ^= 0xFF;
  takeAfter({EcrFrame("1001;"), EcrFrame("1002;7;0;A;"), spoilt, {0xFE, 0xFE, 0x0A, '9'}});
  EXPECT_EQ(stats.OutsideTake(), 2u);
  EXPECT_EQ(Log(), (std::vector<std::string>{"Line: 2 frame(s) arrived outside any take, serial 1001, 1002"}));
  clock.Advance(30'000);
  takeAfter({EcrFrame("1003;")});
  EXPECT_EQ(stats.OutsideTake(), 3u);
  EXPECT_EQ(Log().size(), 1u);
  clock.Advance(30'000);
  takeAfter({EcrFrame("1004;"), EcrFrame("1004;")});
  EXPECT_EQ(Log().back(), "Line: 3 frame(s) arrived outside any take, serial 1003, 1004");
  EXPECT_EQ(stats.OutsideTake(), 5u);
}

// ------------------------------------------------------------ line trace

// While a trace runs, every byte written and read goes into it, and so do the bytes
// that the take's purge throws away unread (a late frame shows there).
TEST_F(ComTest, TraceHoldsBothDirectionsAndWhatThePurgeDiscards) {
  kassiro::testing::TempDir dir;
  auto trace = std::make_unique<TLineTrace>();
  com.SetLineTrace(trace.get());
  Open();
  com.FreeEcr();  // before the trace: not in it
  ASSERT_EQ(trace->Start(dir / "kassirod.trace", std::chrono::hours(1), "port COM1, 9600 bit/s"), "");
  port.QueueIncoming(clock.Now() - 5, {0x0A, 'o', 'l', 'd'});  // came while nobody read
  const auto peer = port.ScopedPeer([](MemoryPort& p, std::span<const std::uint8_t> bytes, Millis at) {
    if (bytes.size() == 6 && bytes[2] == ECR_TAKE) p.QueueIncoming(at + 20, EcrFrame("R"));
  });
  ShortStr block;
  ASSERT_EQ(com.TakeEcr(5, block), RES_OK);
  EXPECT_EQ(block.view(), "R");
  com.CloseEcrPort();
  trace.reset();  // ends the trace: all of it on disk
  const std::string text = kassiro::testing::ReadFile(dir / "kassirod.trace");
  std::vector<std::string> lines;
  for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    const std::string line = text.substr(at, nl - at);
    if (!line.starts_with("#")) lines.push_back(line.substr(24));  // after the time stamp
  }
  const Bytes reply = EcrFrame("R");
  std::string replyHex = "<";
  for (const std::uint8_t b : reply) replyHex += " " + HexByte(b);
  EXPECT_EQ(lines, (std::vector<std::string>{"x 0A 6F 6C 64", "> FF FF 11 11 30 35", replyHex, "> FF 06",
                                             "> FF FF FF FF 13 13"}))
      << text;
  EXPECT_EQ(port.PendingIncoming(), 0u);
}

}  // namespace
}  // namespace kassiro
