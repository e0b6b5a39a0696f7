#include "util/PrmProc.h"

#include <stdexcept>
#include <utility>

namespace kassiro {

namespace {

// Upper-cases ASCII letters only; bytes 0x80..0xFF (parts of national letters in any
// 8-bit or UTF-8 encoding) stay as they are, so the result never depends on a locale.
std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace

TParItem TParamList::ParseArgument(std::string_view arg) {
  if (arg.empty()) return {};
  // One leading '-', or else one leading '/': "--q" names "-Q".
  if (arg.front() == '-' || arg.front() == '/') arg.remove_prefix(1);
  const std::size_t colon = arg.find(':');
  if (colon == std::string_view::npos) return {AsciiUpper(arg), {}};
  return {AsciiUpper(arg.substr(0, colon)), std::string(arg.substr(colon + 1))};
}

void TParamList::Init(int argc, const char* const* argv) {
  Clear();
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    const char* arg = argv[i];
    FItems.push_back(ParseArgument(arg != nullptr ? std::string_view(arg) : std::string_view()));
  }
}

std::size_t TParamList::AddParam(std::string ParamName, std::string ParamVal) {
  FItems.push_back({std::move(ParamName), std::move(ParamVal)});
  return FItems.size() - 1;
}

void TParamList::Delete(std::size_t Index) {
  if (Index >= FItems.size()) throw std::out_of_range("TParamList::Delete: no such item");
  FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(Index));
}

void TParamList::Clear() {
  FItems.clear();
}

bool TParamList::HasParam(std::string_view pm, std::string& Val) const {
  const std::string name = AsciiUpper(pm);
  for (const TParItem& item : FItems) {
    if (item.Name == name) {
      Val = item.Val;
      return true;
    }
  }
  return false;
}

}  // namespace kassiro
