// The character code tables of the ECRs: six languages, each one 384-byte table that
// serves both directions (entries 0..255: ECR byte -> PC byte; entries 128..383:
// PC byte c -> ECR byte at 128 + c).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kassiro {

inline constexpr int LNG_BGR = 1;
inline constexpr int LNG_LTH = 2;
inline constexpr int LNG_POL = 3;
inline constexpr int LNG_MAC = 4;
inline constexpr int LNG_SRC = 5;
inline constexpr int LNG_SRL = 6;
inline constexpr int LANG_COUNT = 6;
inline constexpr int DEFAULT_CODETABLE = 1;

using TCodeTable = std::array<std::uint8_t, 384>;

struct TLanguageStru {
  std::string_view LngName;
  std::int32_t LngNo;
  std::uint16_t LngID;
};

// LANGUAGES_LIST[n - 1] for n = 1..6.
extern const std::array<TLanguageStru, LANG_COUNT> LANGUAGES_LIST;

// The table of language n (1..6); an n outside 1..6 gives DEFAULT_CODETABLE's table.
const TCodeTable& LangTable(int n);

std::string LanguageName(std::int32_t LngNo);  // empty outside 1..6
void ReadLanguages(std::vector<std::string>& LngList);
// The table number whose LngID matches the language of a POSIX locale name such as
// "pl_PL.UTF-8" or "sr_RS@latin"; 1 when none does (platform/UserLocale.h asks the
// system for the user's).
int LanguageIDForLocale(std::string_view localeName);
// The table number whose LngID equals langID (the last equal entry); 1 when none does.
int LanguageNumberForID(std::uint16_t langID);

}  // namespace kassiro
