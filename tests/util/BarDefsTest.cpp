#include "util/BarDefs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace kassiro {
namespace {

using std::string_literals::operator""s;

constexpr Currency CURR_MAX = std::numeric_limits<Currency>::max();
constexpr Currency CURR_MIN = std::numeric_limits<Currency>::min();

TEST(FieldString, MakeStringPutsTheFiveHeadBytesBeforeTheText) {
  const ShortStr m = MakeString(1, 4, 2, 5, 0, "x;");
  EXPECT_EQ(m.view(), "\x01\x04\x02\x05\x00x;"s);

  std::uint8_t st = 0xEE, t = 0xEE, p = 0xEE, c = 0xEE, e = 0xEE;
  ShortStr s("old");
  DispatchString(m, st, t, p, c, e, s);
  EXPECT_EQ((std::vector<int>{st, t, p, c, e}), (std::vector<int>{1, 4, 2, 5, 0}));
  EXPECT_EQ(s, "x;");
}

TEST(FieldString, MakeStringKeepsAtMost250BytesOfText) {
  const std::string text = std::string(249, 'a') + "bc";
  const ShortStr m = MakeString(1, 2, 3, 4, 5, text);
  EXPECT_EQ(m.size(), 255u);
  EXPECT_EQ(m.view().substr(5), std::string(249, 'a') + "b");
}

TEST(FieldString, DispatchStringOfAShortSourceGivesZeroHeadBytesAndEmptyText) {
  struct Case {
    std::string source;
    std::vector<int> head;
  };
  const Case cases[] = {
      {"", {0, 0, 0, 0, 0}},
      {"\x07\x08"s, {7, 8, 0, 0, 0}},
      {"\x01\x02\x03\x04\x05"s, {1, 2, 3, 4, 5}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.source.size());
    const std::vector<char> exact(tc.source.begin(), tc.source.end());  // no slack to read past
    std::uint8_t st = 0xEE, t = 0xEE, p = 0xEE, c = 0xEE, e = 0xEE;
    ShortStr s("stale");
    DispatchString(std::string_view(exact.data(), exact.size()), st, t, p, c, e, s);
    EXPECT_EQ((std::vector<int>{st, t, p, c, e}), tc.head);
    EXPECT_TRUE(s.empty());
  }
}

TEST(FieldString, GetParamReturnsOnlyTerminatedFields) {
  struct Case {
    const char* s;
    int ind;
    const char* field;
  };
  const Case cases[] = {
      {"12;abc;;x;", 1, "12"}, {"12;abc;;x;", 2, "abc"}, {"12;abc;;x;", 3, ""},
      {"12;abc;;x;", 4, "x"},  {"12;abc;;x;", 5, ""},    {"12;abc", 1, "12"},
      {"12;abc", 2, ""},       {"", 1, ""},              {";", 1, ""},
      {"abc", 1, ""},          {"a;b;", 0, ""},          {"a;b;", -3, ""},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(std::string(tc.s) + " #" + std::to_string(tc.ind));
    EXPECT_EQ(GetParam(tc.s, tc.ind), tc.field);
  }
}

TEST(FieldString, ExtractParamRemovesTheFieldAndItsTerminatorOnly) {
  struct Case {
    const char* before;
    int ind;
    const char* field;
    const char* after;
  };
  const Case cases[] = {
      {"a;b;c;", 2, "b", "a;c;"},  {"a;b;c;", 1, "a", "b;c;"},
      {"a;b;c;", 3, "c", "a;b;"},  {"a;b;c;", 4, "", "a;b;c;"},
      {"a;b;c", 3, "", "a;b;c"},   {"a;;c;", 2, "", "a;c;"},  // an empty field is removed
      {"", 1, "", ""},             {"a;b;", 0, "", "a;b;"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(std::string(tc.before) + " #" + std::to_string(tc.ind));
    ShortStr s(tc.before);
    EXPECT_EQ(ExtractParam(s, tc.ind), tc.field);
    EXPECT_EQ(s, tc.after);
  }
}

TEST(FieldString, InsertParamInsertsBeforeFieldIndOrAppendsAsLastField) {
  struct Case {
    const char* before;
    int ind;
    const char* after;
  };
  const Case cases[] = {
      {"a;b;", 1, "X;a;b;"}, {"a;b;", 2, "a;X;b;"}, {"a;b;", 3, "a;b;X;"},
      {"a;b;", 9, "a;b;X;"}, {"", 1, "X;"},         {"", 7, "X;"},
      {"a;b", 3, "a;bX;"},   {"a;b", 2, "a;X;b"},   {";;", 2, ";X;;"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(std::string(tc.before) + " #" + std::to_string(tc.ind));
    ShortStr s(tc.before);
    InsertParam(s, "X", tc.ind);
    EXPECT_EQ(s, tc.after);
  }
}

TEST(FieldString, InsertParamCutsAtTheShortStringLimit) {
  // Appending: string and field together are cut at 254 bytes, the ';' always follows.
  ShortStr s(std::string(200, 'a') + ";");
  InsertParam(s, std::string(100, 'b'), 9);
  EXPECT_EQ(s.view(), std::string(200, 'a') + ";" + std::string(53, 'b') + ";");

  ShortStr full(std::string(254, 'a') + ";");
  InsertParam(full, "X", 9);
  EXPECT_EQ(full.view(), std::string(254, 'a') + ";");

  // Inserting: the excess falls off the end.
  ShortStr front(std::string(254, 'a') + ";");
  InsertParam(front, "XY", 1);
  EXPECT_EQ(front.view(), "XY;" + std::string(252, 'a'));

  ShortStr huge("a;b;");
  InsertParam(huge, std::string(300, 'z'), 2);
  EXPECT_EQ(huge.view(), "a;" + std::string(253, 'z'));
}

TEST(FieldString, AddPointAndRemPoint) {
  struct Case {
    const char* s;
    int place;
    const char* result;
  };
  const Case cases[] = {
      {"12345", 2, "123.45"}, {"5", 2, ".5"},   {"1.5", 2, "1.5"}, {"7", 0, "7."},
      {"12", 2, ".12"},       {"", 2, "."},     {"123", 9, ".123"}, {"1234", 4, ".1234"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(std::string(tc.s) + " @" + std::to_string(tc.place));
    EXPECT_EQ(AddPoint(tc.s, tc.place), tc.result);
  }
  EXPECT_EQ(RemPoint("1.2.3"), "12.3");
  EXPECT_EQ(RemPoint("123"), "123");
  EXPECT_EQ(RemPoint("."), "");
  EXPECT_EQ(RemPoint(".5"), "5");
}

TEST(Currency, ParseCurrencyRoundsHalfAwayFromZeroWithoutFloatingPoint) {
  struct Case {
    const char* s;
    Currency value;
  };
  const Case cases[] = {
      {"12.5", 125000},
      {" -1.23456 ", -12346},
      {"+7", 70000},
      {"5.", 50000},
      {".5", 5000},
      {"0", 0},
      {"-0", 0},
      {"0.00005", 1},
      {"0.0000499999", 0},
      {"-0.00005", -1},
      {"1.99995", 20000},
      {"0.1", 1000},  // exact, where binary 0.1 is not
      {"0000000000000000000000001.5", 15000},
      {"1.000000000000000000000001", 10000},
      {"922337203685477.5807", CURR_MAX},
      {"-922337203685477.5808", CURR_MIN},
      {"922337203685477.58074", CURR_MAX},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.s);
    EXPECT_EQ(ParseCurrency(tc.s), std::optional<Currency>(tc.value));
  }
}

TEST(Currency, ParseCurrencyRejectsAnythingButBlanksSignDigitsAndOnePoint) {
  const char* bad[] = {
      "",     " ",        "-",   "+",   ".",     "-.",  "1,5",    "1.2.3",   "1 000", "1e3",
      "0x10", "12a",      "- 5", "--5", "+-5",   "\t5", "5\n",    "１",
      "922337203685477.5808",                 // one above the range
      "-922337203685477.5809",                // one below
      "922337203685477.58075",                // rounds out of the range
      "99999999999999999999999999999",
  };
  for (const char* s : bad) {
    SCOPED_TRACE(s);
    EXPECT_EQ(ParseCurrency(s), std::nullopt);
  }
}

TEST(Currency, ParseCurrencyUsesTheGivenSeparator) {
  EXPECT_EQ(ParseCurrency("1,25", ","), 12500);
  EXPECT_EQ(ParseCurrency("1.25", ","), std::nullopt);
  EXPECT_EQ(ParseCurrency("1dp25", "dp"), 12500);
  EXPECT_EQ(ParseCurrency("125", ""), 1250000);
  EXPECT_EQ(ParseCurrency("1.25", ""), std::nullopt);
}

TEST(Currency, StrToCurrDefFallsBackToTheUserMonetarySeparator) {
  const TUserLocale comma{",", "."};
  const TUserLocale word{"Dp", "."};
  const TUserLocale none{"", ""};
  EXPECT_EQ(StrToCurrDef("12,50", -1, comma), 125000);
  EXPECT_EQ(StrToCurrDef("12.50", -1, comma), 125000);
  EXPECT_EQ(StrToCurrDef("1,2,3", -1, comma), -1);  // every occurrence is replaced
  EXPECT_EQ(StrToCurrDef("12dP50", -1, word), 125000);  // case-insensitive
  EXPECT_EQ(StrToCurrDef("12,50", -1, TUserLocale{}), -1);
  EXPECT_EQ(StrToCurrDef("12,50", -1, none), -1);
  EXPECT_EQ(StrToCurrDef("abc", 777, comma), 777);
  // Only the first five bytes of the user's separator count.
  EXPECT_EQ(StrToCurrDef("1abcde5", -1, TUserLocale{"abcdefg", "."}), 15000);
}

TEST(Currency, StrToFloatDefUsesTheGeneralSeparator) {
  const TUserLocale comma{".", ","};
  EXPECT_DOUBLE_EQ(StrToFloatDef("12,50", '0', -1.0, comma), 12.5);
  EXPECT_DOUBLE_EQ(StrToFloatDef("1.23456", '0', -1.0, comma), 1.2346);
  EXPECT_DOUBLE_EQ(StrToFloatDef("abc", '0', -1.0, comma), -1.0);
  EXPECT_DOUBLE_EQ(StrToFloatDef("12,50", '0', -1.0, TUserLocale{}), -1.0);
  // The monetary separator plays no part here.
  EXPECT_DOUBLE_EQ(StrToFloatDef("12,50", '0', -1.0, TUserLocale{",", "."}), -1.0);
}

TEST(Currency, CurrToStrFormatsWithFixedDecimals) {
  struct Case {
    Currency value;
    int decimals;
    const char* text;
  };
  const Case cases[] = {
      {50000, 2, "5.00"},
      {12345, 2, "1.23"},
      {12350, 2, "1.24"},
      {-12350, 2, "-1.24"},
      {-49, 2, "0.00"},
      {5000, 0, "1"},
      {4999, 0, "0"},
      {1, 4, "0.0001"},
      {-10001, 4, "-1.0001"},
      {123456, 9, "12.3456"},
      {123456, -1, "12"},
      {CURR_MIN, 4, "-922337203685477.5808"},
      {CURR_MAX, 0, "922337203685478"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.value);
    EXPECT_EQ(CurrToStr(tc.value, tc.decimals), tc.text);
  }
}

TEST(Integer, StrToIntDefAcceptsOnlySignAndDecimalDigits) {
  struct Case {
    const char* s;
    std::int64_t value;
  };
  const Case good[] = {
      {"42", 42},
      {"-42", -42},
      {"+7", 7},
      {"007", 7},
      {"0", 0},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
  };
  for (const Case& tc : good) {
    SCOPED_TRACE(tc.s);
    EXPECT_EQ(StrToIntDef(tc.s, 99), tc.value);
  }
  const char* bad[] = {"", "-", "+", " 1", "1 ", "1.0", "--1", "0x1", "1e3", "١",
                       "9223372036854775808", "-9223372036854775809", "18446744073709551626"};
  for (const char* s : bad) {
    SCOPED_TRACE(s);
    EXPECT_EQ(StrToIntDef(s, 99), 99);
  }
  EXPECT_EQ(StrToIntDef("x"), 0);
}

}  // namespace
}  // namespace kassiro
