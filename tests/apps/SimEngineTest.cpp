#include "ecrsim/SimEngine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ecrlink/FrameCodec.h"
#include "ecrlink/ProtConst.h"

namespace kassiro::ecrsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes Ack = {0xFF, 0x06};
const Bytes Nak = {0xFF, 0x15};
const Bytes Release = {0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x13};

Bytes Take(int ecr) { return {0xFF, 0xFF, 0x11, 0x11, std::uint8_t('0' + ecr / 10), std::uint8_t('0' + ecr % 10)}; }

// A frame of the computer, with the fill of 9600 baud.
Bytes ComputerFrame(std::string_view payload) {
  const auto f = BuildFrame(payload, 9);
  return {f.view().begin(), f.view().end()};
}

// What an ECR sends: 0A payload 0D and the CRC, high byte first.
Bytes EcrFrame(std::string_view payload) {
  std::string s = "\n" + std::string(payload) + "\r";
  const std::uint16_t crc = TxBlockCRC(s.substr(1));
  s += static_cast<char>(crc >> 8);
  s += static_cast<char>(crc & 0xFF);
  return Bytes(s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class TRecordingSink final : public TByteSink {
 public:
  void Send(std::span<const std::uint8_t> bytes) override { Sent.insert(Sent.end(), bytes.begin(), bytes.end()); }
  Bytes Take() { return std::exchange(Sent, {}); }
  Bytes Sent;
};

class SimEngineTest : public ::testing::Test {
 protected:
  void Load(const std::string& script) {
    Engine = std::make_unique<TSimEngine>(ParseSimScript(script), Sink);
    Engine->SetLog([this](std::string_view l) { Log.emplace_back(l); });
  }
  // Feeds bytes at the current time (1 ms apart from the last feed) and returns what the
  // ECRs sent in answer.
  Bytes Feed(const Bytes& in) {
    Now += 1;
    for (const auto b : in) Engine->Receive(b, Now);
    return Sink.Take();
  }
  // Feeds bytes that were all waiting at once, as a reader that fell behind finds them.
  Bytes FeedBacklog(const Bytes& in) {
    Now += 1;
    Engine->Receive(std::span<const std::uint8_t>(in), Now);
    return Sink.Take();
  }
  // Takes the ECR and acknowledges its answer; returns the answer's bytes.
  Bytes TakeAndAck(int ecr) {
    const Bytes answer = Feed(Cat({Release, Release, Take(ecr)}));
    EXPECT_TRUE(Feed(Ack).empty());
    return answer;
  }

  TRecordingSink Sink;
  std::unique_ptr<TSimEngine> Engine;
  std::vector<std::string> Log;
  Millis Now = 1000;
};

TEST_F(SimEngineTest, AnswersOnlyTakesForItsNumbers) {
  Load("ecr 3\necr 7 serial 123456\n");
  EXPECT_EQ(Feed(Take(3)), EcrFrame("004703;"));
  EXPECT_EQ(Feed(Take(7)), EcrFrame("123456;"));
  EXPECT_TRUE(Feed(Take(5)).empty());
  EXPECT_TRUE(Feed(Take(0)).empty());
  // Filler, fill and release are never answered.
  EXPECT_TRUE(Feed(Cat({{0xFE, 0xFE, 0xFF, 0xFF}, Release, {0xFE, 0xFE}})).empty());
}

TEST_F(SimEngineTest, InlineCommandIsAckedThenReplied) {
  Load("ecr 3\nreply R \"0;{text}\"\nreply P \"E5;\"\n");
  TakeAndAck(3);
  EXPECT_EQ(Feed(ComputerFrame("R12;")), Cat({{0x06}, EcrFrame("0;12;")}));
  EXPECT_TRUE(Feed(Ack).empty());
  EXPECT_TRUE(Feed(Release).empty());

  TakeAndAck(3);
  EXPECT_EQ(Feed(ComputerFrame("P")), Cat({{0x06}, EcrFrame("E5;")}));
  Feed(Ack);
  TakeAndAck(3);
  EXPECT_EQ(Feed(ComputerFrame("W1;")), Cat({{0x06}, EcrFrame("0;")})) << "default reply";
}

TEST_F(SimEngineTest, BadCrcOrNakFaultGetsNakAndTheRepeatIsTaken) {
  Load("ecr 3\nfault nak 1\n");
  TakeAndAck(3);
  Bytes bad = ComputerFrame("R12;");
  bad.back() ^= 0x01;
  EXPECT_EQ(Feed(bad), Bytes{0x15});                       // bad CRC; the fault stays
  EXPECT_EQ(Feed(ComputerFrame("R12;")), Bytes{0x15});     // the nak fault
  EXPECT_EQ(Feed(ComputerFrame("R12;")), Cat({{0x06}, EcrFrame("0;")}));
}

TEST_F(SimEngineTest, RepeatsAFrameOnNakAtMostEightTimes) {
  Load("ecr 3\n");
  const Bytes answer = Feed(Take(3));
  for (int i = 0; i < REPEAT_COUNT; ++i) EXPECT_EQ(Feed(Nak), answer) << "repeat " << i + 1;
  EXPECT_TRUE(Feed(Nak).empty());
  // Given up: a command frame now is not for it.
  EXPECT_TRUE(Feed(ComputerFrame("R1;")).empty());
}

TEST_F(SimEngineTest, BadCrcFaultSpoilsTheNextFramesOnly) {
  Load("ecr 3\nfault badcrc 2\n");
  const Bytes good = EcrFrame("004703;");
  Bytes first = Feed(Take(3));
  ASSERT_EQ(first.size(), good.size());
  EXPECT_TRUE(std::equal(good.begin(), good.end() - 2, first.begin()));
  EXPECT_NE(first, good);
  std::uint16_t crc = 0;  // the receiver's check does not come out 0
  for (std::size_t i = 1; i < first.size(); ++i) EcrCRCByte(crc, first[i]);
  EXPECT_NE(crc, 0);
  EXPECT_EQ(Feed(Nak), first);
  EXPECT_EQ(Feed(Nak), good);
}

TEST_F(SimEngineTest, NoiseFaultPutsStrayBytesAheadOfTheFrame) {
  Load("ecr 3\nfault noise 1\n");
  const Bytes noise(std::begin(NoiseBytes), std::end(NoiseBytes));
  EXPECT_EQ(Feed(Take(3)), Cat({noise, EcrFrame("004703;")}));
  EXPECT_EQ(Feed(Take(3)), EcrFrame("004703;"));
}

TEST_F(SimEngineTest, SilentFaultIgnoresTakes) {
  Load("ecr 3\nfault silent 2\necr 7\nfault silent\n");
  EXPECT_TRUE(Feed(Take(3)).empty());
  EXPECT_TRUE(Feed(Take(3)).empty());
  EXPECT_EQ(Feed(Take(3)), EcrFrame("004703;"));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Feed(Take(7)).empty());
  EXPECT_TRUE(Engine->AddFault(3, TFaultKind::Silent, 1));
  EXPECT_TRUE(Feed(Take(3)).empty());
  EXPECT_FALSE(Engine->AddFault(9, TFaultKind::Silent, 1));
}

// A backlog of takes gets one answer, and an ACK that was waiting before that answer was
// written does not take its block: the block is sent again, under the same number.
TEST_F(SimEngineTest, ABacklogGetsOnlyTheNewestTakeAnsweredAndNoStaleAckTakesABlock) {
  Load("ecr 3\nonline \"{serial};{block};0;A;B;\"\nloop\necr 7\n");
  const Bytes block0 = EcrFrame("004703;0;0;A;B;");
  EXPECT_EQ(FeedBacklog(Cat({Take(3), Release, Take(3), Ack, Release, Take(3)})), block0);
  EXPECT_EQ(Engine->OnlineDone(3), 0);
  EXPECT_EQ(FeedBacklog(Cat({Release, Take(3), Ack})), block0) << "the ACK came before this answer";
  EXPECT_EQ(Engine->OnlineDone(3), 0);
  EXPECT_TRUE(FeedBacklog(Ack).empty());
  EXPECT_EQ(Engine->OnlineDone(3), 1);
  EXPECT_EQ(FeedBacklog(Cat({Release, Take(7), Release, Take(3)})), EcrFrame("004703;1;0;A;B;"))
      << "an older take of another ECR is not answered either";
  EXPECT_EQ(Engine->Counts(7)->Takes, 0);

  // Bytes that came after the answer was written, in a later read, are replies to it.
  Load("ecr 3\nfault late\necr 7\n");
  EXPECT_TRUE(FeedBacklog(Take(3)).empty());
  EXPECT_EQ(FeedBacklog(Cat({Release, Take(7), Release, Take(7)})), Cat({EcrFrame("004703;"), EcrFrame("004707;")}))
      << "the held-back answer still goes out ahead of the next take";
  EXPECT_EQ(FeedBacklog(Ack), Bytes{});
  EXPECT_EQ(FeedBacklog(ComputerFrame("R1;")), Cat({{0x06}, EcrFrame("0;")}));
}

TEST_F(SimEngineTest, LateFaultSendsTheAnswerOnlyAheadOfTheNextTakesAnswer) {
  Load("ecr 3\nonline \"{serial};{block};0;A;B;\"\nfault late\necr 7\n");
  EXPECT_TRUE(Feed(Take(3)).empty());
  EXPECT_EQ(Feed(Cat({Release, Take(7)})), Cat({EcrFrame("004703;0;0;A;B;"), EcrFrame("004707;")}));
  EXPECT_TRUE(Feed(Ack).empty());
  EXPECT_EQ(Engine->Counts(3)->Late, 1);
  EXPECT_EQ(Engine->OnlineDone(3), 0) << "a held-back block is not taken";
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;0;0;A;B;"));
  EXPECT_EQ(Engine->OnlineDone(3), 1);
}

TEST_F(SimEngineTest, OnlineBlocksGoInTurnWithBlockNumbers) {
  Load(R"(ecr 3 serial 123456
block 8
online "{serial};{block};0;A;B;"
online "{serial};{block};0;C;D;" times 2
online "{serial};{block};B;E;F;"
)");
  EXPECT_EQ(TakeAndAck(3), EcrFrame("123456;8;0;A;B;"));
  EXPECT_EQ(TakeAndAck(3), EcrFrame("123456;9;0;C;D;"));
  EXPECT_EQ(TakeAndAck(3), EcrFrame("123456;9;0;C;D;")) << "sent twice under one number";
  EXPECT_EQ(TakeAndAck(3), EcrFrame("123456;0;B;E;F;")) << "9 wraps to 0";
  EXPECT_EQ(TakeAndAck(3), EcrFrame("123456;")) << "then in-line again";
  EXPECT_EQ(Engine->OnlineDone(3), 4);
  EXPECT_EQ(Engine->BlockNo(3), 1);
}

TEST_F(SimEngineTest, ABlockNotTakenIsSentAgainUnderTheSameNumber) {
  Load(R"(ecr 3
online "{serial};{block};0;A;B;"
online "{serial};{block};8;4711;;12.50;" answer
loop
)");
  // Released before the ACK: the report was not taken.
  EXPECT_EQ(Feed(Take(3)), EcrFrame("004703;0;0;A;B;"));
  Feed(Release);
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;0;0;A;B;"));
  // The query is taken only with its answer.
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;1;8;4711;;12.50;"));
  Feed(Release);
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;1;8;4711;;12.50;"));
  Bytes bad = ComputerFrame("ANS;");
  bad.back() ^= 0x40;
  EXPECT_EQ(Feed(bad), Bytes{0x15});
  EXPECT_EQ(Engine->BlockNo(3), 1);
  EXPECT_EQ(Feed(ComputerFrame("ANS;")), Bytes{0x06}) << "an answer gets 06 and no reply frame";
  EXPECT_EQ(Engine->BlockNo(3), 2);
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;2;0;A;B;")) << "loop";
}

TEST_F(SimEngineTest, AFrameAfterAPlainBlockIsAckedButTakesNoFurtherBlock) {
  Load(R"(ecr 3
online "{serial};{block};0;A;B;"
online "{serial};{block};8;4711;;12.50;" answer
)");
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;0;0;A;B;"));
  EXPECT_EQ(Feed(ComputerFrame("ANS;")), Bytes{0x06});
  EXPECT_EQ(Engine->Counts(3)->StrayAnswers, 1);
  EXPECT_EQ(Engine->OnlineDone(3), 1) << "the query was never sent, so it is not taken";
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;1;8;4711;;12.50;"));
}

TEST_F(SimEngineTest, ReleaseEndsTheExchange) {
  Load("ecr 3\n");
  TakeAndAck(3);
  Feed(Release);
  EXPECT_TRUE(Feed(ComputerFrame("R1;")).empty());
  EXPECT_TRUE(Feed(Ack).empty());
}

TEST_F(SimEngineTest, AHalfReceivedSequenceGoesStaleAfterAGap) {
  Load("ecr 3\n");
  TakeAndAck(3);
  Feed({0x0A, 0x52, 0x31});  // a command frame that breaks off
  Now += BYTE_TO + 1;
  EXPECT_EQ(Feed(Take(3)), EcrFrame("004703;"));
}

TEST_F(SimEngineTest, LogsWhatItReceivesAndSends) {
  Load("ecr 3\n");
  TakeAndAck(3);
  Feed(ComputerFrame("R12;"));
  Feed({0xFE, 0xFE, 0x41});
  EXPECT_EQ(Log, (std::vector<std::string>{"release", "release", "take 03", "-> 03 frame 004703;", "ACK",
                                           "frame R12; crc ok", "-> 03 ACK", "-> 03 frame 0;",
                                           "noise 41"}));
}

TEST_F(SimEngineTest, SeqCountsBlocksMovedPastAndTheJournalHasEveryBlockTaken) {
  Load(R"(ecr 3
online "{serial};{block};0;{seq};" times 2
online "{serial};{block};7;{seq};" answer
loop
)");
  std::vector<std::string> journal;
  Engine->SetJournal([&](Millis when, int ecr, std::string_view block) {
    journal.push_back(std::to_string(when) + " " + std::to_string(ecr) + " " + std::string(block));
  });
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;0;0;1;"));
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;0;0;1;")) << "a repeated block keeps its seq";
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;1;7;2;"));
  Feed(Release);
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;1;7;2;")) << "not answered: not taken";
  Feed(ComputerFrame("ANS;"));
  EXPECT_EQ(TakeAndAck(3), EcrFrame("004703;2;0;3;"));
  EXPECT_EQ(journal, (std::vector<std::string>{"1002 3 004703;0;0;1;", "1004 3 004703;0;0;1;",
                                               "1010 3 004703;1;7;2;", "1012 3 004703;2;0;3;"}));
}

TEST_F(SimEngineTest, CountsWhatEachEcrDid) {
  Load("ecr 3\nonline \"{serial};{block};0;A;B;\"\nfault badcrc 1\necr 7\nfault silent 1\n");
  Feed(Take(3));
  Feed(Nak);  // the spoilt frame is sent again
  Feed(Ack);  // the report taken
  TakeAndAck(3);
  Feed(ComputerFrame("R1;"));
  Feed(Ack);
  Feed(Take(7));
  TakeAndAck(7);
  Bytes bad = ComputerFrame("R1;");
  bad.back() ^= 0x01;
  Feed(bad);
  const TEcrCounts& c3 = *Engine->Counts(3);
  EXPECT_EQ(c3.Takes, 2);
  EXPECT_EQ(c3.OnlineSent, 1);
  EXPECT_EQ(c3.OnlineTaken, 1);
  EXPECT_EQ(c3.Inline, 1);
  EXPECT_EQ(c3.Commands, 1);
  EXPECT_EQ(c3.Repeats, 1);
  EXPECT_EQ(c3.BadCrc, 1);
  const TEcrCounts& c7 = *Engine->Counts(7);
  EXPECT_EQ(c7.Takes, 2);
  EXPECT_EQ(c7.Silent, 1);
  EXPECT_EQ(c7.NaksSent, 1);
  EXPECT_EQ(Engine->Counts(9), nullptr);
  const std::string text = Engine->FormatCounts();
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "ecr 3 takes=2 silent=0 inline=1 online_sent=1 online_taken=1 commands=1 answers=0 "
            "repeats=1 naks_sent=0 badcrc=1 noise=0 nak_faults=0 random_faults=0 stray_answers=0 "
            "late=0 for_others=0 streamed=0");
  EXPECT_NE(text.find("\ntotal takes=4 silent=1 inline=2 "), std::string::npos) << text;
}

// A device that answers every take: first, with its own answer, whatever number is taken,
// while the register of that number still answers after it and is the one that takes the
// ACK; the device's own takes are answered once.
TEST_F(SimEngineTest, AnAnswerAllDeviceAnswersTheTakesOfEveryNumberFirst) {
  Load("ecr 3\necr 9 serial 777777\nfault answerall\n");
  EXPECT_EQ(Feed(Take(3)), Cat({EcrFrame("777777;"), EcrFrame("004703;")}));
  EXPECT_EQ(Feed(Take(5)), EcrFrame("777777;")) << "a number nobody has";
  EXPECT_EQ(Feed(Take(9)), EcrFrame("777777;"));
  Feed(Ack);
  EXPECT_EQ(Engine->Counts(9)->ForOthers, 2);
  EXPECT_EQ(Engine->Counts(9)->Inline, 1);
  EXPECT_EQ(Engine->Counts(3)->Takes, 1);

  Load("ecr 9 serial 777777\nfault answerall 1\n");
  EXPECT_EQ(Feed(Take(2)), EcrFrame("777777;"));
  EXPECT_EQ(Feed(Take(2)), Bytes{}) << "a count ends the fault";
}

// A streaming device sends one frame after the release that ends a take, each with the
// next serial number, and never answers a take of another number.
TEST_F(SimEngineTest, AStreamingDeviceSendsFramesWithNewSerialNumbersBetweenTakes) {
  Load("ecr 3\necr 8 serial 500000\nfault stream 3\n");
  EXPECT_EQ(Feed(Release), Bytes{}) << "no take yet";
  EXPECT_EQ(Feed(Take(3)), EcrFrame("004703;"));
  Feed(Ack);
  EXPECT_EQ(Feed(Cat({Release, Release})), EcrFrame("500001;")) << "once per release after a take";
  EXPECT_EQ(Feed(Cat({Take(3), Release})), Cat({EcrFrame("004703;"), EcrFrame("500002;")}));
  Feed(Take(4));
  EXPECT_EQ(Feed(Release), EcrFrame("500003;"));
  Feed(Take(4));
  EXPECT_EQ(Feed(Release), Bytes{}) << "three frames asked for";
  EXPECT_EQ(Engine->Counts(8)->Streamed, 3);
  EXPECT_EQ(Engine->Counts(8)->Takes, 0);
}

// Everything the ECRs send for a run of takes and commands, with random faults.
Bytes RunWithRandomFaults(double percent, std::uint32_t seed, TEcrCounts& counts) {
  TRecordingSink sink;
  TSimEngine engine(ParseSimScript("ecr 3\necr 4\n"), sink);
  engine.SetRandomFaults(percent, seed);
  Millis now = 0;
  auto feed = [&](const Bytes& in) {
    now += 1;
    for (const auto b : in) engine.Receive(b, now);
  };
  for (int i = 0; i < 400; ++i) {
    feed(Cat({Release, Take(3 + i % 2)}));
    feed(Ack);
    feed(ComputerFrame("R1;"));
    feed(Ack);
  }
  counts = *engine.Counts(3);
  const TEcrCounts& c4 = *engine.Counts(4);
  counts.Takes += c4.Takes;
  counts.RandomFaults += c4.RandomFaults;
  counts.Silent += c4.Silent;
  counts.BadCrc += c4.BadCrc;
  counts.Noise += c4.Noise;
  counts.NakFaults += c4.NakFaults;
  counts.Late += c4.Late;
  return sink.Sent;
}

TEST(SimEngineRandomFaults, DrawnAtTheRateAndTheSameForTheSameSeed) {
  TEcrCounts none, all, a, b, c;
  RunWithRandomFaults(0, 1, none);
  EXPECT_EQ(none.RandomFaults, 0);
  EXPECT_EQ(none.Silent + none.BadCrc + none.Noise + none.NakFaults, 0);

  RunWithRandomFaults(100, 1, all);
  EXPECT_EQ(all.RandomFaults, all.Takes) << "every take draws one";
  // Every kind comes up, and every fault drawn is used (a nak fault waits for a frame of
  // the computer; one still waiting at the end is not counted yet).
  EXPECT_GT(all.Silent, 0);
  EXPECT_GT(all.BadCrc, 0);
  EXPECT_GT(all.Noise, 0);
  EXPECT_GT(all.NakFaults, 0);
  EXPECT_GT(all.Late, 0);
  EXPECT_LE(all.RandomFaults - (all.Silent + all.BadCrc + all.Noise + all.NakFaults + all.Late), 2);

  const Bytes first = RunWithRandomFaults(5, 42, a);
  EXPECT_EQ(RunWithRandomFaults(5, 42, b), first) << "same seed, same bytes";
  EXPECT_EQ(b.RandomFaults, a.RandomFaults);
  EXPECT_GT(a.RandomFaults, 400 * 5 / 100 / 3) << "about 5 % of 400 takes";
  EXPECT_LT(a.RandomFaults, 400 * 5 / 100 * 3);
  EXPECT_NE(RunWithRandomFaults(5, 43, c), first) << "another seed, other faults";
}

}  // namespace
}  // namespace kassiro::ecrsim
