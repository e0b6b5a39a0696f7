#include "ecrsim/EcrLineParser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ecrlink/FrameCodec.h"

namespace kassiro::ecrsim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Frame(std::string_view payload, std::size_t fill) {
  const auto f = BuildFrame(payload, fill);
  return {f.view().begin(), f.view().end()};
}

Lines Feed(TEcrLineParser& p, const Bytes& bytes) {
  Lines out;
  for (const auto b : bytes)
    if (const auto e = p.consume(b)) out.push_back(Describe(*e));
  return out;
}

Lines Feed(const Bytes& bytes) {
  TEcrLineParser p;
  return Feed(p, bytes);
}

// "abc" as the computer sends it at 9600 baud: nine fill bytes, CRC 3C DE.
const Bytes AbcAt9600 = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                         0x0A, 0x61, 0x62, 0x63, 0x0D, 0x3C, 0xDE};

struct TCase {
  const char* name;
  Bytes in;
  Lines out;
};

TEST(EcrLineParser, DecodesEverySequenceOfTheComputer) {
  const Bytes take7 = {0xFF, 0xFF, 0x11, 0x11, 0x30, 0x37};
  const Bytes release = {0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x13};
  const TCase cases[] = {
      {"take", take7, {"take 07"}},
      {"take 99", {0xFF, 0xFF, 0x11, 0x11, 0x39, 0x39}, {"take 99"}},
      {"release", release, {"release"}},
      {"ack and nak", {0xFF, 0x06, 0xFF, 0x15}, {"ACK", "NAK"}},
      {"frame with fill", AbcAt9600, {"frame abc crc ok"}},
      {"frame without fill", {0x0A, 0x61, 0x62, 0x63, 0x0D, 0x3C, 0xDE}, {"frame abc crc ok"}},
      {"bad crc", {0x0A, 0x61, 0x62, 0x63, 0x0D, 0x3C, 0xDF}, {"frame abc crc bad"}},
      {"filler", {0xFE, 0xFE}, {"filler", "filler"}},
      {"stray bytes", {0x41, 0x06}, {"noise 41", "noise 06"}},
      {"filler then take", Concat({{0xFE, 0xFE}, take7}), {"filler", "filler", "take 07"}},
      // A broken take: the FF that breaks it starts the next sequence.
      {"broken take", Concat({{0xFF, 0xFF, 0x11, 0x30}, take7}), {"noise 30", "take 07"}},
      {"take with a letter", Concat({{0xFF, 0xFF, 0x11, 0x11, 0x30, 0x41}, release}),
       {"noise 41", "release"}},
      {"broken release", Concat({{0xFF, 0xFF, 0x13, 0xFE}, {0xFF, 0x06}}), {"filler", "ACK"}},
      // A second 0A before 0D drops what came so far.
      {"restarted frame", Concat({{0x0A, 0x78, 0x79}, AbcAt9600}), {"frame abc crc ok"}},
      {"non-printable payload", Frame("\x01\\", 1), {"frame \\x01\\x5C crc ok"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Feed(c.in), c.out) << c.name;
}

TEST(EcrLineParser, TheWholeExchangeInOneStream) {
  const Bytes stream = Concat({
      {0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x13},
      {0xFF, 0xFF, 0x11, 0x11, 0x30, 0x33},
      {0xFF, 0x06},
      Frame("R12;", 9),
      {0xFF, 0x06},
      {0xFE, 0xFE},
      {0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x13},
  });
  EXPECT_EQ(Feed(stream), (Lines{"release", "take 03", "ACK", "frame R12; crc ok", "ACK", "filler",
                                 "filler", "release"}));
}

TEST(EcrLineParser, ResetDropsAHalfReceivedSequence) {
  TEcrLineParser p;
  EXPECT_TRUE(Feed(p, {0x0A, 0x52, 0x31}).empty());
  EXPECT_TRUE(p.Busy());
  p.Reset();
  EXPECT_FALSE(p.Busy());
  // Without the reset these bytes would have become payload.
  EXPECT_EQ(Feed(p, {0xFF, 0xFF, 0x11, 0x11, 0x30, 0x35}), (Lines{"take 05"}));
}

TEST(EcrLineParser, LongPayloadIsKeptToAShortStringAndStillChecked) {
  const std::string payload(254, 'x');
  TEcrLineParser p;
  std::optional<TLineEvent> last;
  for (const auto b : Frame(payload, 15))
    if (auto e = p.consume(b)) last = e;
  ASSERT_TRUE(last);
  EXPECT_EQ(last->Kind, TLineEventKind::Frame);
  EXPECT_TRUE(last->CrcOk);
  EXPECT_EQ(last->Payload.size(), 254u);
}

}  // namespace
}  // namespace kassiro::ecrsim
