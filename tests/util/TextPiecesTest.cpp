// The small text pieces every layer reads and writes with: trimming, whole numbers and
// JSON strings.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "util/JsonText.h"
#include "util/Trim.h"
#include "util/WholeNumber.h"

namespace kassiro {
namespace {

using namespace std::string_literals;

TEST(Trim, DropsEveryKindOfBlankAroundAndKeepsThoseInside) {
  const struct {
    std::string_view In, Out;
  } cases[] = {
      {"", ""},          {" \t\r\n\f\v", ""},  {"abc", "abc"},
      {"  a b \t", "a b"}, {"\tkey = v\r\n", "key = v"}, {"x\n", "x"},
  };
  for (const auto& c : cases) EXPECT_EQ(Trim(c.In), c.Out) << '"' << c.In << '"';
  static_assert(Trim(" 4 ") == "4");
}

TEST(WholeNumber, TakesOnlyAWholeTextOfDigitsInRange) {
  EXPECT_EQ(WholeNumber<int>("42"), 42);
  EXPECT_EQ(WholeNumber<int>("-7"), -7);
  EXPECT_EQ(WholeNumber<std::uint8_t>("255"), 255);
  EXPECT_EQ(WholeNumber<std::uint64_t>("000000000017"), 17u);
  for (const char* bad : {"", " 1", "1 ", "+1", "1x", "0x10", "1.5", "-"})
    EXPECT_EQ(WholeNumber<int>(bad), std::nullopt) << '"' << bad << '"';
  EXPECT_EQ(WholeNumber<std::uint8_t>("256"), std::nullopt) << "out of range";
  EXPECT_EQ(WholeNumber<unsigned>("-1"), std::nullopt) << "no sign for an unsigned type";
}

TEST(JsonString, EscapesWhatJsonMustAndKeepsUtf8) {
  const struct {
    std::string In, Out;
  } cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {R"(a "q" \ b)", R"("a \"q\" \\ b")"},
      {"\n\r\t", R"("\n\r\t")"},
      {"\x01\x1f\x7f"s + '\0', R"("\u0001\u001f\u007f\u0000")"},
      {"\xD0\x90\xD0\xB1", "\"\xD0\x90\xD0\xB1\""},            // Cyrillic, two bytes each
      {"\xE2\x82\xAC \xF0\x9F\x98\x80", "\"\xE2\x82\xAC \xF0\x9F\x98\x80\""},  // three and four bytes
      // Bytes that are no UTF-8: a lone byte of a single-byte code table, a cut sequence,
      // an overlong form and a surrogate, each byte as the Latin-1 character it would be.
      {"\xC0\xE1", R"("\u00c0\u00e1")"},
      {"\xD0", R"("\u00d0")"},
      {"\xC1\xBF", R"("\u00c1\u00bf")"},
      {"\xED\xA0\x80", R"("\u00ed\u00a0\u0080")"},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.In), c.Out) << c.In;
}

}  // namespace
}  // namespace kassiro
