#include "util/LangTbl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kassiro {
namespace {

// The code lists as the ECR documentation writes them, kept apart from the library's
// own constants on purpose: a typo on either side shows up as a mismatch.
// "a-b→x-y" maps a..b in order onto x..y, "a-b→x" maps all of a..b onto x.
struct LangLists {
  const char* name;
  const char* ecrToPc;  // ECR bytes 00-7F, table entries 0..127
  const char* pcToEcr;  // PC bytes 00-FF, table entries 128..383
};

const LangLists LISTS[LANG_COUNT] = {
    {"Bulgarian",
     "00-25→00-25, 26→B9, 27-5F→27-5F, 60-7A→C0-DA, 7B→DC, 7C-7D→DE-DF, 7E→DB, 7F→DD",
     "00-5F→00-5F, 60→20, 61-7F→41-5F, 80-BF→20, C0-DA→60-7A, DB→7E, DC→7B, DD→7F, DE-DF→7C-7D, "
     "E0-FA→60-7A, FB→7E, FC→7B, FD→7F, FE-FF→7C-7D"},
    {"Lithuanian",
     "00-23→00-23, 24→C0, 25→25, 26→B9, 27→27, 28→C6, 29→C1, 2A-3E→2A-3E, 3F→D8, 40-5A→40-5A, "
     "5B→C8, 5C→CB, 5D→D0, 5E→DB, 5F→DE, 60-7A→C0-DA, 7B→DC, 7C-7D→DE-DF, 7E→DB, 7F→DD",
     "00-27→00-27, 28→3C, 29→3E, 2A-5B→2A-5B, 5C→2F, 5D-5E→5D-5E, 5F→2D, 60→27, 61-7B→41-5B, "
     "7C→2F, 7D→5D, 7E→27, 7F→5F, 80-92→20, 93-94→22, 95-BF→20, C0→24, C1→29, C2-C5→62-65, "
     "C6→28, C7→67, C8→5B, C9-CA→69-6A, CB→5C, CC-CF→6C-6F, D0→5D, D1-D7→71-77, D8→3F, "
     "D9-DA→79-7A, DB→5E, DC→7B, DD→7F, DE→5F, DF→7D, E0→24, E1→29, E2-E5→62-65, E6→28, E7→67, "
     "E8→5B, E9-EA→69-6A, EB→5C, EC-EF→6C-6F, F0→5D, F1-F7→71-77, F8→3F, F9-FA→79-7A, FB→5E, "
     "FC→7B, FD→7F, FE→5F, FF→7D"},
    {"Polish",
     "00-23→00-23, 24→A5, 25→25, 26→B9, 27→8E, 28→CA, 29→A3, 2A-5A→2A-5A, 5B→C6, 5C→D1, 5D→D3, "
     "5E→8C, 5F→AF, 60-7A→C0-DA, 7B→DC, 7C-7D→DE-DF, 7E→DB, 7F→DD",
     "00-5F→00-5F, 60→20, 61-7F→41-5F, 80-8B→20, 8C→5E, 8D→20, 8E→27, 8F→5F, 90-9B→20, 9C→5E, "
     "9D→20, 9E→27, 9F→5F, A0-A2→20, A3→29, A4→20, A5→24, A6-AE→20, AF→5F, B0-B2→20, B3→29, "
     "B4-B8→20, B9→24, BA-BE→20, BF-C5→5F-65, C6→5B, C7-C9→67-69, CA→28, CB-D0→6B-70, D1→5C, "
     "D2→72, D3→5D, D4-DA→74-7A, DB→7E, DC→7B, DD→7F, DE-DF→7C-7D, E0-E5→60-65, E6→5B, "
     "E7-E9→67-69, EA→28, EB-F0→6B-70, F1→5C, F2→72, F3→5D, F4-FA→74-7A, FB→7E, FC→7B, FD→7F, "
     "FE-FF→7C-7D"},
    {"Macedonian",
     "00-23→00-23, 24→81, 25→25, 26→B9, 27→27, 28→8A, 29→8C, 2A-3B→2A-3B, 3C→8D, 3D→3D, 3E→8F, "
     "3F-5F→3F-5F, 60-7A→C0-DA, 7B→DC, 7C-7D→DE-DF, 7E→A3, 7F→BD",
     "00-5F→00-5F, 60→20, 61-7F→41-5F, 80→20, 81→24, 82-89→20, 8A→28, 8B→20, 8C→29, 8D→3C, "
     "8E→20, 8F→3E, 90-99→20, 9A→28, 9B→20, 9C→29, 9D→3C, 9E→20, 9F→3E, A0-A2→20, A3→7E, "
     "A4-B3→20, B4→24, B5-BB→20, BC-BD→7E-7F, BE→7F, BF→20, C0-DA→60-7A, DB→7E, DC→7B, DD→7F, "
     "DE-DF→7C-7D, E0-FA→60-7A, FB→7E, FC→7B, FD→7F, FE-FF→7C-7D"},
    {"Serbian (Cyrillic)",
     "00-25→00-25, 26→B9, 27-5A→27-5A, 5B→C6, 5C→C8, 5D→D0, 5E→8A, 5F→8E, 60-68→C0-C8, 69→A3, "
     "6A-78→CA-D8, 79→80, 7A→8A, 7B→8C, 7C-7D→8E-8F, 7E→BC, 7F→9E",
     "00-5F→00-5F, 60→20, 61-7A→41-5A, 7B→28, 7C→21, 7D→29, 7E→27, 7F→21, 80→79, 81-89→20, "
     "8A→7A, 8B→20, 8C→7B, 8D→20, 8E-8F→7C-7D, 90→79, 91-99→20, 9A→7A, 9B→20, 9C→7B, 9D→20, "
     "9E-9F→7C-7D, A0-A2→20, A3→69, A4-BB→20, BC→7E, BD-BF→20, C0-DA→60-7A, DB→7E, DC→7B, DD→7F, "
     "DE-DF→7C-7D, E0-FA→60-7A, FB→7E, FC→7B, FD→7F, FE-FF→7C-7D"},
    {"Serbian (Latin)",
     "00-25→00-25, 26→B9, 27-5A→27-5A, 5B→C6, 5C→C8, 5D→D0, 5E→8A, 5F→8E, 60-68→C0-C8, 69→A3, "
     "6A-78→CA-D8, 79→80, 7A→8A, 7B→8C, 7C-7D→8E-8F, 7E→6A, 7F→9E",
     "00-5F→00-5F, 60→20, 61-69→41-49, 6A→7E, 6B-7A→4B-5A, 7B→28, 7C→21, 7D→29, 7E→27, 7F→21, "
     "80-89→20, 8A→5E, 8B-8D→20, 8E→5F, 8F-99→20, 9A→5E, 9B-9D→20, 9E→7F, 9F-C5→20, C6→5B, "
     "C7→20, C8→5C, C9-CF→20, D0→5D, D1-E5→20, E6→5B, E7→20, E8→5C, E9-EF→20, F0→5D, F1-FF→20"},
};

int Hex(std::string_view s) { return std::stoi(std::string(s), nullptr, 16); }

// (source, target) for every byte a list names, in the list's order.
std::vector<std::pair<int, int>> Expand(std::string_view list) {
  static constexpr std::string_view ARROW = "→";
  std::vector<std::pair<int, int>> out;
  while (!list.empty()) {
    const std::size_t comma = list.find(", ");
    const std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 2);

    const std::size_t arrow = item.find(ARROW);
    EXPECT_NE(arrow, std::string_view::npos) << item;
    if (arrow == std::string_view::npos) continue;
    const std::string_view src = item.substr(0, arrow);
    const std::string_view dst = item.substr(arrow + ARROW.size());
    const int a = Hex(src.substr(0, 2));
    const int b = src.size() > 2 ? Hex(src.substr(3)) : a;
    const int x = Hex(dst.substr(0, 2));
    const bool inOrder = dst.size() > 2;
    if (inOrder) {
      EXPECT_EQ(Hex(dst.substr(3)) - x, b - a) << item;
    }
    for (int c = a; c <= b; ++c) out.emplace_back(c, inOrder ? x + (c - a) : x);
  }
  return out;
}

// Every byte 0..last named exactly once, and nothing else.
void ExpectCoversOnce(const std::vector<std::pair<int, int>>& pairs, int last) {
  std::vector<int> hits(256, 0);
  for (const auto& [c, target] : pairs) {
    ASSERT_TRUE(c >= 0 && c <= last) << c;
    ++hits[static_cast<std::size_t>(c)];
  }
  for (int c = 0; c <= last; ++c) EXPECT_EQ(hits[static_cast<std::size_t>(c)], 1) << "byte " << c;
}

TEST(CodeTables, EveryEntryMatchesTheListsAndEveryListCoversItsDomainOnce) {
  for (int n = 1; n <= LANG_COUNT; ++n) {
    const LangLists& lists = LISTS[n - 1];
    SCOPED_TRACE(lists.name);
    EXPECT_EQ(LANGUAGES_LIST[static_cast<std::size_t>(n - 1)].LngName, lists.name);
    const TCodeTable& table = LangTable(n);

    const auto ecrToPc = Expand(lists.ecrToPc);
    ExpectCoversOnce(ecrToPc, 0x7F);
    for (const auto& [c, pc] : ecrToPc) {
      EXPECT_EQ(table[static_cast<std::size_t>(c)], pc) << "ECR byte " << std::hex << c;
    }

    const auto pcToEcr = Expand(lists.pcToEcr);
    ExpectCoversOnce(pcToEcr, 0xFF);
    for (const auto& [c, ecr] : pcToEcr) {
      EXPECT_EQ(table[static_cast<std::size_t>(128 + c)], ecr) << "PC byte " << std::hex << c;
    }
  }
}

TEST(CodeTables, ThePcSideSendsOnlySevenBitBytes) {
  for (int n = 1; n <= LANG_COUNT; ++n) {
    const TCodeTable& table = LangTable(n);
    for (std::size_t i = 128; i < table.size(); ++i) {
      EXPECT_LT(table[i], 0x80) << "table " << n << " entry " << i;
    }
  }
}

TEST(CodeTables, TranslationExamples) {
  const TCodeTable& bg = LangTable(LNG_BGR);
  auto toEcr = [](const TCodeTable& t, std::uint8_t pc) { return t[128u + pc]; };
  // First Cyrillic letter, capital and small, becomes the ECR's 60; back it is capital.
  EXPECT_EQ(toEcr(bg, 0xC0), 0x60);
  EXPECT_EQ(toEcr(bg, 0xE0), 0x60);
  EXPECT_EQ(bg[0x60], 0xC0);
  EXPECT_EQ(bg[0x41], 0x41);
  EXPECT_EQ(toEcr(bg, 0x61), 0x41);
  EXPECT_EQ(toEcr(bg, 0x41), 0x41);
  EXPECT_EQ(bg[0x26], 0xB9);
  EXPECT_EQ(toEcr(bg, 0xB9), 0x20);
  // An ECR byte 80..FF reads the PC-to-ECR entry of the byte minus 80.
  EXPECT_EQ(bg[0xC1], toEcr(bg, 0x41));

  const TCodeTable& srl = LangTable(LNG_SRL);
  for (int pc = 0xF1; pc <= 0xFF; ++pc) EXPECT_EQ(toEcr(srl, static_cast<std::uint8_t>(pc)), 0x20);
}

TEST(CodeTables, ANumberOutsideTheListGivesTheDefaultTable) {
  for (int n : {0, 7, -1, 1000}) EXPECT_EQ(&LangTable(n), &LangTable(DEFAULT_CODETABLE)) << n;
  EXPECT_NE(&LangTable(2), &LangTable(1));
}

TEST(Languages, NamesAndList) {
  EXPECT_EQ(LanguageName(0), "");
  EXPECT_EQ(LanguageName(7), "");
  EXPECT_EQ(LanguageName(-5), "");
  EXPECT_EQ(LanguageName(5), "Serbian (Cyrillic)");
  EXPECT_EQ(LanguageName(1), "Bulgarian");

  std::vector<std::string> names{"stale"};
  ReadLanguages(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Bulgarian", "Lithuanian", "Polish", "Macedonian",
                                             "Serbian (Cyrillic)", "Serbian (Latin)"}));
  for (int n = 1; n <= LANG_COUNT; ++n) {
    EXPECT_EQ(LANGUAGES_LIST[static_cast<std::size_t>(n - 1)].LngNo, n);
  }
}

TEST(Languages, LocaleNamesChooseTheTable) {
  struct Case {
    const char* locale;
    int table;
  };
  const Case cases[] = {
      {"pl_PL.UTF-8", 3},  {"en_US.UTF-8", 1},       {"bg_BG.CP1251", 1}, {"lt_LT", 2},
      {"lt", 2},           {"mk_MK.UTF-8", 4},       {"sr_RS", 5},        {"sr_RS@latin", 6},
      {"sr_RS.UTF-8@latin", 6}, {"sr@latin", 6},     {"sr_ME@cyrillic", 5}, {"hr_HR.UTF-8", 1},
      {"C", 1},            {"POSIX", 1},             {"", 1},             {"plx_PL", 1},
      {"PL_pl", 3},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.locale);
    EXPECT_EQ(LanguageIDForLocale(tc.locale), tc.table);
  }
  EXPECT_EQ(LanguageNumberForID(0x0415), 3);
  EXPECT_EQ(LanguageNumberForID(0x0409), 1);
  EXPECT_EQ(LanguageNumberForID(0x041A), 1);  // Croatian is neither Serbian
  EXPECT_EQ(LanguageNumberForID(0x081A), 6);
  EXPECT_EQ(LanguageNumberForID(0x0C1A), 5);
}

}  // namespace
}  // namespace kassiro
