// Protocol constants, CRC, frame building and the receiver state machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ecrlink/FrameCodec.h"
#include "ecrlink/ProtConst.h"
#include "ecrlink/SimpleComObject.h"

namespace kassiro {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

// Feeds bytes and returns the events that were not rxIgnored/rxProgress.
std::vector<TRxEvent> Feed(TFrameReceiver& rx, const Bytes& bytes) {
  std::vector<TRxEvent> ends;
  for (const std::uint8_t b : bytes) {
    const TRxEvent e = rx.Consume(b);
    if (e == TRxEvent::rxFrameGood || e == TRxEvent::rxFrameBad) ends.push_back(e);
  }
  return ends;
}

TEST(ProtConst, CrcCheckValues) {
  EXPECT_EQ(TxBlockCRC("123456789"), 0xA829);
  EXPECT_EQ(TxBlockCRC("abc"), 0xBC3C);
  EXPECT_EQ(TxBlockCRC(""), 0);
  EXPECT_EQ(TxBlockCRC("abc\r"), 0x3CDE);
}

TEST(ProtConst, ErrorNames) {
  EXPECT_EQ(GetErrorName(RES_NORESULT), "No result");
  EXPECT_EQ(GetErrorName(RES_OK), "OK");
  EXPECT_EQ(GetErrorName(RES_TIMEOUT), "TimeOut");
  EXPECT_EQ(GetErrorName(7), "Unknown error: 7");
}

TEST(SpeedTable, IndexOfEachSpeedAndRefusals) {
  for (std::int32_t i = 0; i < SpCount; ++i)
    EXPECT_EQ(GetSpeedIndex(static_cast<std::int32_t>(SendWaitConsts[static_cast<std::size_t>(i)].Speed)), i);
  EXPECT_EQ(SendWaitConsts[static_cast<std::size_t>(GetSpeedIndex(14400))].BefBeg, 4);
  for (const std::int32_t bad : {0, -9600, 1000, 57600, 115200}) EXPECT_EQ(GetSpeedIndex(bad), -1) << bad;
}

TEST(TimeForSend, RoundsUpTenBitCharacters) {
  TSimpleComObject com;
  com.SetSpeed(9600);
  EXPECT_EQ(com.GetTimeForSend(6), 7u);
  EXPECT_EQ(com.GetTimeForSend(20), 21u);
  EXPECT_EQ(com.GetTimeForSend(0), 0u);
  com.SetSpeed(1200);
  EXPECT_EQ(com.GetTimeForSend(6), 50u);
}

TEST(FrameCodec, TakeRequestFormatsTwoDigits) {
  EXPECT_EQ(MakeTakeRequest(5), std::string_view("\xFF\xFF\x11\x11" "05"));
  EXPECT_EQ(MakeTakeRequest(7), std::string_view("\xFF\xFF\x11\x11" "07"));
  EXPECT_EQ(MakeTakeRequest(99), std::string_view("\xFF\xFF\x11\x11" "99"));
}

TEST(FrameCodec, AbcAt9600) {
  const TFrameBuffer f = BuildFrame("abc", 9);
  const Bytes want = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                      0x0A, 0x61, 0x62, 0x63, 0x0D, 0x3C, 0xDE};
  EXPECT_EQ(ToBytes(f.view()), want);
}

TEST(FrameCodec, LongPayloadIsCutTo254AndTheFrameStaysWhole) {
  const std::string payload(300, 'a');
  const TFrameBuffer f = BuildFrame(payload, 15);
  ASSERT_EQ(f.size, 15u + 1 + 254 + 1 + 2);
  EXPECT_EQ(f.bytes[15], ECR_BEG);
  EXPECT_EQ(f.bytes[15 + 1 + 254], ECR_END);

  TFrameReceiver rx;
  EXPECT_EQ(Feed(rx, ToBytes(f.view())), std::vector{TRxEvent::rxFrameGood});
  EXPECT_EQ(rx.Payload().view(), payload.substr(0, 254));
}

TEST(FrameCodec, EmptyPayloadFrame) {
  TFrameReceiver rx;
  EXPECT_EQ(Feed(rx, ToBytes(BuildFrame("", 0).view())), std::vector{TRxEvent::rxFrameGood});
  EXPECT_TRUE(rx.Payload().empty());
}

TEST(FrameReceiver, SkipsNoiseBeforeTheFrameAndRestartsOnASecondBeg) {
  Bytes line = {0xFE, 0xFE, 0xFF, 0x06, 0x15, 0x0A, 'x', 'y', 0x0A};  // a broken start
  const Bytes frame = ToBytes(BuildFrame("abc", 0).view());
  line.insert(line.end(), frame.begin() + 1, frame.end());  // the rest of a frame after its 0A
  TFrameReceiver rx;
  EXPECT_EQ(Feed(rx, line), std::vector{TRxEvent::rxFrameGood});
  EXPECT_EQ(rx.Payload().view(), "abc");
  EXPECT_EQ(rx.State(), TState::sWaitBeg);
}

TEST(FrameReceiver, EveryCorruptedByteIsCaught) {
  const Bytes good = ToBytes(BuildFrame("hello", 0).view());
  for (std::size_t i = 1; i < good.size(); ++i) {  // all but the 0A
    Bytes bad = good;
    bad[i] ^= 0x01;
    if (bad[i] == ECR_BEG || bad[i] == ECR_END || good[i] == ECR_END) continue;  // changes the framing
    TFrameReceiver rx;
    EXPECT_EQ(Feed(rx, bad), std::vector{TRxEvent::rxFrameBad}) << "byte " << i;
  }
}

TEST(FrameReceiver, BackToBackFramesAndOverlongPayload) {
  TFrameReceiver rx;
  Bytes two = ToBytes(BuildFrame("one", 0).view());
  const Bytes second = ToBytes(BuildFrame("two", 2).view());
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_EQ(Feed(rx, two), (std::vector{TRxEvent::rxFrameGood, TRxEvent::rxFrameGood}));
  EXPECT_EQ(rx.Payload().view(), "two");

  // An ECR frame of 300 payload bytes: the CRC covers all, the block keeps 255.
  const std::string big(300, 'z');
  std::string covered = big + '\r';
  const std::uint16_t crc = TxBlockCRC(covered);
  Bytes line(1, ECR_BEG);
  for (const char c : covered) line.push_back(static_cast<std::uint8_t>(c));
  line.push_back(static_cast<std::uint8_t>(crc >> 8));
  line.push_back(static_cast<std::uint8_t>(crc));
  EXPECT_EQ(Feed(rx, line), std::vector{TRxEvent::rxFrameGood});
  EXPECT_EQ(rx.Payload().view(), big.substr(0, 255));
}

}  // namespace
}  // namespace kassiro
