#include "util/ShortStr.h"

#include <gtest/gtest.h>

#include <string>

namespace kassiro {
namespace {

TEST(ShortStr, EveryProducingOperationCutsAt255KeepingTheFront) {
  const std::string long300(300, 'x');
  ShortStr s(long300);
  EXPECT_EQ(s.size(), 255u);

  ShortStr a(std::string(250, 'a'));
  a.append("0123456789");
  EXPECT_EQ(a.size(), 255u);
  EXPECT_EQ(a.view().substr(250), "01234");

  ShortStr b(std::string(255, 'b'));
  b.push_back('z');
  EXPECT_EQ(b.size(), 255u);
  EXPECT_EQ(b.back(), 'b');

  ShortStr c(std::string(254, 'c'));
  c.insert(0, "XYZ");  // the end falls off, the inserted front stays
  EXPECT_EQ(c.size(), 255u);
  EXPECT_EQ(c.view().substr(0, 4), "XYZc");

  const ShortStr d = ShortStr(std::string(200, 'd')) + std::string(100, 'e');
  EXPECT_EQ(d.size(), 255u);
  EXPECT_EQ(d.view().substr(199, 2), "de");
}

TEST(ShortStr, EditsInPlace) {
  ShortStr s("a;b;c;");
  s.erase(2, 2);
  EXPECT_EQ(s, "a;c;");
  s.insert(2, "X;");
  EXPECT_EQ(s, "a;X;c;");
  EXPECT_EQ(s.substr(2, 2), "X;");
  EXPECT_EQ(s.substr(10), "");
  s.erase(99);  // beyond the end: nothing
  EXPECT_EQ(s.size(), 6u);
  EXPECT_EQ(s.find(';'), 1u);
}

TEST(ShortStr, HoldsAll8BitBytes) {
  const std::uint8_t raw[] = {0x00, 0x0A, 0xFF, 0x80};
  const ShortStr s = ShortStr::fromBytes(raw, sizeof raw);
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s.byte(0), 0x00);
  EXPECT_EQ(s.byte(2), 0xFF);
  EXPECT_EQ(s, std::string_view("\x00\x0A\xFF\x80", 4));
}

TEST(ShortStr, SmallerCapacitiesCutToTheirOwnSize) {
  BasicShortStr<6> port("ttyUSB10");
  EXPECT_EQ(port, "ttyUSB");
  const BasicShortStr<9> pw(ShortStr("0123456789"));
  EXPECT_EQ(pw, "012345678");
}

}  // namespace
}  // namespace kassiro
