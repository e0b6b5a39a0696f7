// The framing of the client protocol's stream, without sockets: every stream is fed
// whole, split at every point, and byte by byte, and must give the same messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/MessageFrames.h"

namespace kassiro {
namespace {

using namespace std::string_literals;

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

struct TFrameCase {
  const char* Name;
  std::string Stream;
  std::vector<std::string> Messages;
  std::size_t Missing;  // bytes of an unfinished message at the end
};

std::string Filled(std::size_t n, char c) { return std::string(n, c); }

std::vector<TFrameCase> Cases() {
  return {
      {"two coalesced",
       Bytes({0x07, 0x01, 0x01, 0x01, 0x05, 0x00, 0x31, 0x3B, 0x05, 0x03, 0x02, 0x01, 0x05, 0x00}),
       {Bytes({0x01, 0x01, 0x01, 0x05, 0x00, 0x31, 0x3B}), Bytes({0x03, 0x02, 0x01, 0x05, 0x00})},
       0},
      {"empty then five", Bytes({0x00, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05}),
       {"", Bytes({0x01, 0x02, 0x03, 0x04, 0x05})}, 0},
      {"unfinished", Bytes({0x07, 0x01, 0x01, 0x01, 0x05}), {}, 3},
      {"length byte alone", Bytes({0x07}), {}, 7},
      {"three empty", Bytes({0x00, 0x00, 0x00}), {"", "", ""}, 0},
      {"longest", "\xFF" + Filled(255, 'a'), {Filled(255, 'a')}, 0},
      {"longest then unfinished", "\xFF" + Filled(255, 'a') + "\x03" + "xy", {Filled(255, 'a')}, 1},
      {"three longest (more than one read buffer)",
       "\xFF" + Filled(255, 'a') + "\xFF" + Filled(255, 'b') + "\xFF" + Filled(255, 'c'),
       {Filled(255, 'a'), Filled(255, 'b'), Filled(255, 'c')}, 0},
  };
}

std::span<const std::uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Feeds the stream in the given pieces and returns the messages delivered.
std::vector<std::string> FeedPieces(TFrameReader& r, const std::vector<std::string_view>& pieces) {
  std::vector<std::string> got;
  for (auto p : pieces)
    r.Feed(AsBytes(p), [&](const ShortStr& m) {
      got.push_back(m.str());
      return true;
    });
  return got;
}

TEST(FrameReader, SameMessagesHoweverTheStreamIsCut) {
  for (const auto& c : Cases()) {
    SCOPED_TRACE(c.Name);
    const std::string_view s = c.Stream;
    {
      TFrameReader r;
      EXPECT_EQ(FeedPieces(r, {s}), c.Messages);
      EXPECT_EQ(r.Missing(), c.Missing);
    }
    for (std::size_t cut = 0; cut <= s.size(); ++cut) {
      TFrameReader r;
      EXPECT_EQ(FeedPieces(r, {s.substr(0, cut), s.substr(cut)}), c.Messages) << "cut at " << cut;
      EXPECT_EQ(r.Missing(), c.Missing);
    }
    std::vector<std::string_view> single;
    for (std::size_t i = 0; i < s.size(); ++i) single.push_back(s.substr(i, 1));
    TFrameReader r;
    EXPECT_EQ(FeedPieces(r, single), c.Messages) << "byte by byte";
    EXPECT_EQ(r.Missing(), c.Missing);
  }
}

// A refusal pauses delivery: the rest is kept, bytes fed meanwhile join it, and Resume
// goes on in order, whatever frames the pieces cut.
TEST(FrameReader, KeepsWhatDeliveryRefusedUntilResumed) {
  TFrameReader r;
  std::vector<std::string> got;
  bool take = false;
  const auto deliver = [&](const ShortStr& m) {
    got.push_back(m.str());
    return take;
  };
  r.Feed(AsBytes(Bytes({0x01, 0x41, 0x02, 0x42})), deliver);
  EXPECT_EQ(got, std::vector<std::string>{"A"});
  EXPECT_EQ(r.Kept(), 2u);
  r.Feed(AsBytes(Bytes({0x42, 0x01})), deliver);  // still paused after "BB"
  r.Keep(AsBytes(Bytes({0x43, 0x00})));
  take = true;
  r.Resume(deliver);
  EXPECT_EQ(got, (std::vector<std::string>{"A", "BB", "C", ""}));
  EXPECT_EQ(r.Kept(), 0u);
  EXPECT_EQ(r.Missing(), 0u);
}

// A reader fed text and a deliver that takes every message, as the client programs use
// it, gets what Frame made of each message.
TEST(FrameReader, FramedMessagesComeOutWhateverPiecesTheStreamArrivesIn) {
  const std::string stream = Frame("\x05\x01\x00\x07\x00"s) + Frame("") +
                             Frame("\x09\x80\x00\x03\x00" + std::string(250, 'z'));
  const std::vector<std::string> expected{"\x05\x01\x00\x07\x00"s, "",
                                          "\x09\x80\x00\x03\x00" + std::string(250, 'z')};
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    TFrameReader reader;
    std::vector<std::string> got;
    const auto collect = [&](std::string_view m) { got.emplace_back(m); };
    reader.Feed(std::string_view(stream).substr(0, cut), collect);
    reader.Feed(std::string_view(stream).substr(cut), collect);
    EXPECT_EQ(got, expected) << "cut at " << cut;
    EXPECT_EQ(reader.Missing(), 0u);
  }
  EXPECT_EQ(Frame(std::string(300, 'a')).size(), 256u);  // never more than a length byte can say
  EXPECT_EQ(Frame("ab").front(), '\x02');
}

}  // namespace
}  // namespace kassiro
