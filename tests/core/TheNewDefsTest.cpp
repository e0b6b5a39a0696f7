#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/TheNewDefs.h"

namespace kassiro {
namespace {

// The stored record, built byte by byte from its layout: ComPortName@0 (1+6),
// Speed@7, IPPort@9, sPassword@11 (1+9), GlobalBon@21, SetPW@25 (14 x (1+9)),
// ERData@165 (99 x 12: Bon@0, Line@4, SerNum@6, CurrMode@10, CurrTO@11), little-endian.
class HandImage {
 public:
  HandImage() {
    Str(0, "COM1");
    U16(7, 4800);
    U16(9, 4999);
    I32(21, 1);
    for (std::size_t e = 1; e <= 99; ++e) U16(Er(e) + 4, 1);
  }
  static std::size_t Er(std::size_t ecr) { return 165 + (ecr - 1) * 12; }
  static std::size_t SetPw(std::size_t st) { return 25 + (st - 1) * 10; }

  void U16(std::size_t ofs, std::uint16_t v) {
    img[ofs] = static_cast<std::uint8_t>(v & 0xFF);
    img[ofs + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void I32(std::size_t ofs, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (std::size_t i = 0; i < 4; ++i) img[ofs + i] = static_cast<std::uint8_t>(u >> (8 * i));
  }
  void Str(std::size_t ofs, const std::string& s) {
    img[ofs] = static_cast<std::uint8_t>(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) img[ofs + 1 + i] = static_cast<std::uint8_t>(s[i]);
  }

  TIniStruImage img{};
};

// Offset of the first differing byte, or -1.
long FirstDifference(const TIniStruImage& a, const TIniStruImage& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return static_cast<long>(i);
  }
  return -1;
}

// A record with every field set to a value of its own.
TIniStru EveryFieldSet() {
  TIniStru ini;
  ini.ComPortName = "ttyS12";
  ini.Speed = 0xC201;  // 49665, bytes 01 C2
  ini.IPPort = 0x1388;
  ini.sPassword = "admin1234";
  ini.GlobalBon = 0x01020304;
  for (int st = 1; st <= SET_COUNT; ++st)
    ini.SetPW[st] = std::string_view("pw" + std::to_string(st));
  for (int e = 1; e <= MAX_ECR_COUNT; ++e) {
    TERData& d = ini.ERData[e];
    d.Bon = e == 50 ? -5 : 1000 + e;
    d.Line = static_cast<std::uint16_t>(e == 99 ? 65535 : e * 3);
    d.SerNum = 0x7F000000 + e;
    d.CurrMode = static_cast<std::uint8_t>(e % 4);
    d.CurrTO = static_cast<std::uint8_t>(e % 16);
  }
  return ini;
}

HandImage EveryFieldSetImage() {
  HandImage h;
  h.img = {};
  h.Str(0, "ttyS12");
  h.U16(7, 0xC201);
  h.U16(9, 0x1388);
  h.Str(11, "admin1234");
  h.I32(21, 0x01020304);
  for (std::size_t st = 1; st <= 14; ++st) h.Str(HandImage::SetPw(st), "pw" + std::to_string(st));
  for (std::size_t e = 1; e <= 99; ++e) {
    const std::size_t o = HandImage::Er(e);
    h.I32(o, e == 50 ? -5 : static_cast<std::int32_t>(1000 + e));
    h.U16(o + 4, static_cast<std::uint16_t>(e == 99 ? 65535 : e * 3));
    h.I32(o + 6, static_cast<std::int32_t>(0x7F000000 + e));
    h.img[o + 10] = static_cast<std::uint8_t>(e % 4);
    h.img[o + 11] = static_cast<std::uint8_t>(e % 16);
  }
  return h;
}

TEST(IniStruImage, DefaultsEncodeAsTheFirstStartNeedsThem) {
  const TIniStru ini;
  EXPECT_EQ(ini.ComPortName.view(), "COM1");
  EXPECT_EQ(ini.Speed, 4800);
  EXPECT_EQ(ini.IPPort, 4999);
  EXPECT_TRUE(ini.sPassword.empty());
  EXPECT_EQ(ini.GlobalBon, 1);
  EXPECT_EQ(FirstDifference(EncodeIniStru(ini), HandImage().img), -1);
}

TEST(IniStruImage, EveryFieldLandsAtItsOffset) {
  EXPECT_EQ(FirstDifference(EncodeIniStru(EveryFieldSet()), EveryFieldSetImage().img), -1);
  // Spot checks of the byte order.
  const auto img = EncodeIniStru(EveryFieldSet());
  EXPECT_EQ(img[7], 0x01);
  EXPECT_EQ(img[8], 0xC2);
  EXPECT_EQ(img[21], 0x04);
  EXPECT_EQ(img[24], 0x01);
  const std::size_t ecr50 = HandImage::Er(50);
  EXPECT_EQ(img[ecr50], 0xFB);
  EXPECT_EQ(img[ecr50 + 3], 0xFF);
}

TEST(IniStruImage, DecodesAHandMadeImage) {
  HandImage h = EveryFieldSetImage();
  // Bytes beyond a string's length carry no meaning.
  h.Str(0, "COM3");  // "ttyS12" leaves "12" behind it
  h.Str(HandImage::SetPw(3), "abc");
  h.img[HandImage::SetPw(3) + 7] = 'Z';
  const TIniStru ini = DecodeIniStru(h.img);
  EXPECT_EQ(ini.ComPortName.view(), "COM3");
  EXPECT_EQ(ini.Speed, 0xC201);
  EXPECT_EQ(ini.IPPort, 0x1388);
  EXPECT_EQ(ini.sPassword.view(), "admin1234");
  EXPECT_EQ(ini.GlobalBon, 0x01020304);
  EXPECT_EQ(ini.SetPW[1].view(), "pw1");
  EXPECT_EQ(ini.SetPW[3].view(), "abc");
  EXPECT_EQ(ini.SetPW[14].view(), "pw14");
  EXPECT_EQ(ini.ERData[1].Bon, 1001);
  EXPECT_EQ(ini.ERData[50].Bon, -5);
  EXPECT_EQ(ini.ERData[99].Line, 65535);
  EXPECT_EQ(ini.ERData[99].SerNum, 0x7F000000 + 99);
  EXPECT_EQ(ini.ERData[7].CurrMode, 3);
  EXPECT_EQ(ini.ERData[15].CurrTO, 15);
  // And back: the untouched record encodes to the same bytes.
  EXPECT_EQ(FirstDifference(EncodeIniStru(DecodeIniStru(EveryFieldSetImage().img)),
                            EveryFieldSetImage().img),
            -1);
}

TEST(IniStruImage, LengthBytesBeyondTheCapacityAreCut) {
  HandImage h;
  for (std::size_t i = 0; i < h.img.size(); ++i) h.img[i] = static_cast<std::uint8_t>('a' + i % 26);
  h.img[0] = 255;                     // ComPortName, capacity 6
  h.img[11] = 10;                     // sPassword, capacity 9
  h.img[HandImage::SetPw(14)] = 200;  // the last set password, right before ERData
  const TIniStru ini = DecodeIniStru(h.img);
  EXPECT_EQ(ini.ComPortName.size(), 6u);
  EXPECT_EQ(ini.ComPortName.view(), "bcdefg");
  EXPECT_EQ(ini.sPassword.size(), 9u);
  EXPECT_EQ(ini.SetPW[14].size(), 9u);
  EXPECT_EQ(ini.SetPW[14][0], static_cast<char>('a' + (HandImage::SetPw(14) + 1) % 26));
}

// ---- receipt and line numbering ----

class Numbering : public ::testing::Test {
 protected:
  Numbering() {
    s.SaveSettings = [this](const TIniStru& saved) {
      ++saves;
      savedGlobalBon = saved.GlobalBon;
    };
  }
  Session s;
  int saves = 0;
  std::int32_t savedGlobalBon = 0;
};

// Every draw from the counter is stored before the number is returned; a number that
// is only read again stores nothing.
TEST_F(Numbering, ReceiptNumbersAreDrawnLazilyFromOneCounterAndStoredWhenDrawn) {
  EXPECT_EQ(GetBon(s, 5), 1);
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(savedGlobalBon, 2);
  EXPECT_EQ(GetBon(s, 5), 1);
  EXPECT_EQ(s.IniStru.GlobalBon, 2);
  EXPECT_EQ(GetBon(s, 7), 2);
  EXPECT_EQ(saves, 2);
  EXPECT_EQ(savedGlobalBon, 3);

  s.IniStru.ERData[5].Line = 9;
  EXPECT_EQ(GetIncBon(s, 5), 1);
  EXPECT_EQ(s.IniStru.ERData[5].Bon, 3);
  EXPECT_EQ(s.IniStru.ERData[5].Line, 1);
  EXPECT_EQ(s.IniStru.GlobalBon, 4);
  EXPECT_EQ(saves, 3);
  EXPECT_EQ(savedGlobalBon, 4);  // saved after the update
  EXPECT_EQ(GetBon(s, 7), 2);    // the other ECR keeps its number
  EXPECT_EQ(saves, 3);
}

TEST_F(Numbering, GetIncBonOnAnEcrWithoutNumberDrawsTwoAndStoresOnce) {
  EXPECT_EQ(GetIncBon(s, 1), 1);
  EXPECT_EQ(s.IniStru.ERData[1].Bon, 2);
  EXPECT_EQ(s.IniStru.GlobalBon, 3);
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(savedGlobalBon, 3);
}

TEST_F(Numbering, LineNumbers) {
  EXPECT_EQ(GetIncLine(s, 3), 1);
  EXPECT_EQ(GetIncLine(s, 3), 2);
  EXPECT_EQ(GetIncLine(s, 3), 3);
  EXPECT_EQ(GetLine(s, 3), 4);
  EXPECT_EQ(GetLine(s, 3), 4);
  EXPECT_EQ(GetLine(s, 4), 1);
  EXPECT_EQ(saves, 0);
}

TEST_F(Numbering, LineStopsAtItsLargestValue) {
  s.IniStru.ERData[3].Line = 65534;
  EXPECT_EQ(GetIncLine(s, 3), 65534);
  EXPECT_EQ(GetIncLine(s, 3), 65535);
  EXPECT_EQ(GetIncLine(s, 3), 65535);
  EXPECT_EQ(GetLine(s, 3), 65535);
}

TEST_F(Numbering, CounterWrapsToOneAndRepairsDamagedValues) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  const struct {
    std::int32_t global;
    std::int32_t handedOut;
    std::int32_t next;
  } cases[] = {
      {kMax, kMax, 1},
      {kMax - 1, kMax - 1, kMax},
      {0, 1, 2},
      {-7, 1, 2},
      {std::numeric_limits<std::int32_t>::min(), 1, 2},
  };
  for (const auto& c : cases) {
    Session fresh;
    fresh.IniStru.GlobalBon = c.global;
    EXPECT_EQ(GetBon(fresh, 9), c.handedOut) << c.global;
    EXPECT_EQ(fresh.IniStru.GlobalBon, c.next) << c.global;
  }
}

// A stop drops every client: nothing awaited before it can be delivered any more.
TEST(SessionState, ClearStructuresResetsSessionsAndTheAwaitedResultButNotSettings) {
  Session s;
  TEcr& ecr = (*s.Ecrs)[7];
  ecr.Sets[3].OwnerID = 12;
  ecr.Sets[3].Cop = COP_ANSWER;
  ecr.Sets[3].Phase = NOT_SENDED;
  ecr.Sets[3].FmAppBuff = "data";
  ecr.Sets[3].WaitBlk2 = true;
  ecr.Sets[3].WaitBlkBuff = "parked";
  ecr.BlockNo = 4;
  ecr.UserCount = 1;
  ecr.LastBlockIn = "last";
  s.ServerStatus = 1;
  s.InSeans = {7, 3};
  s.WaitRes = {3, COP_ANSWER, 7, "result", true};
  s.IniStru.GlobalBon = 77;
  s.IniStru.ERData[7].Bon = 5;

  s.ClearStructures();

  ASSERT_NE(s.Ecrs, nullptr);
  for (const TEcr& e : *s.Ecrs) {
    EXPECT_EQ(e.BlockNo, 0);
    EXPECT_EQ(e.UserCount, 0);
    EXPECT_TRUE(e.LastBlockIn.empty());
    for (const TSetDescr& d : e.Sets) {
      EXPECT_EQ(d.OwnerID, 0);
      EXPECT_EQ(d.Cop, NO_COP);
      EXPECT_EQ(d.Phase, NO_PHASE);
      EXPECT_TRUE(d.FmAppBuff.empty());
      EXPECT_FALSE(d.WaitBlk2);
      EXPECT_TRUE(d.WaitBlkBuff.empty());
    }
  }
  EXPECT_EQ(s.ServerStatus, 0);
  EXPECT_EQ(s.InSeans.Ecr, 0);
  EXPECT_EQ(s.InSeans.St, 0);
  EXPECT_EQ(s.WaitRes.St, 0);
  EXPECT_TRUE(s.WaitRes.Buff.empty());
  EXPECT_FALSE(s.WaitRes.WaitBlk);
  EXPECT_EQ(s.IniStru.GlobalBon, 77);
  EXPECT_EQ(s.IniStru.ERData[7].Bon, 5);
}

TEST_F(Numbering, AnEcrNumberBelowZeroFromADamagedFileIsReplacedByAFreshOne) {
  s.IniStru.GlobalBon = 40;
  s.IniStru.ERData[6].Bon = -3;
  EXPECT_EQ(GetBon(s, 6), 40);
  EXPECT_EQ(s.IniStru.GlobalBon, 41);
  s.IniStru.ERData[6].Bon = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(GetIncBon(s, 6), 41);
  EXPECT_EQ(s.IniStru.ERData[6].Bon, 42);
}

}  // namespace
}  // namespace kassiro
