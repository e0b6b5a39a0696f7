// The INI file reader and writer on any text: a value that is set is found again, and
// the reading of the code-table number from a file never fails.
#include <string>

#include "FuzzInput.h"
#include "core/IniFile.h"

namespace {

using namespace kassiro;

using fuzz::Check;

// Names and values an INI line can carry: no line breaks, brackets, '=', ';' or '#',
// and no blanks at either end (the reader trims them).
bool Plain(std::string_view s, bool mayBeEmpty) {
  constexpr std::string_view blanks = " \t\r\n\f\v";
  if (s.empty()) return mayBeEmpty;
  if (blanks.find(s.front()) != std::string_view::npos || blanks.find(s.back()) != std::string_view::npos) {
    return false;
  }
  return s.find_first_of("\r\n[]=;#") == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string section = fuzz::Bytes(in);
  const std::string key = fuzz::Bytes(in);
  const std::string value = fuzz::Bytes(in);
  const std::string text = in.ConsumeRemainingBytesAsString();

  if (const auto found = FindIniValue(text, section, key)) (void)ParseIniInteger(*found);
  (void)FindIniValue(text, INI_OPTIONS_SECTION, INI_LANGUAGE_KEY);
  const std::string written = SetIniValue(text, section, key, value);
  if (Plain(section, false) && Plain(key, false) && Plain(value, true)) {
    Check(FindIniValue(written, section, key) == value, "a value set is not found again");
  }
  (void)ParseIniInteger(value);
  return 0;
}
