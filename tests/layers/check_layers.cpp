// check_layers TREE TABLE LINKS: checks the layering of the sources under TREE's src/,
// apps/ and tools/ against the table (cmake/layers.txt) and the links the build
// declares (written by the build into LINKS). Prints every violation; exit status 1
// when there is one, 2 when the input cannot be read.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "LayerCheck.h"

namespace fs = std::filesystem;
using namespace kassiro::layers;

namespace {

bool Read(const fs::path& p, std::string& out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

bool IsSource(const fs::path& p) {
  const auto e = p.extension();
  return e == ".h" || e == ".hpp" || e == ".cpp" || e == ".cc";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: check_layers TREE TABLE LINKS\n";
    return 2;
  }
  const fs::path tree = argv[1];
  std::string table, linkText;
  if (!Read(argv[2], table) || !Read(argv[3], linkText)) {
    std::cerr << "check_layers: cannot read " << argv[2] << " or " << argv[3] << "\n";
    return 2;
  }
  std::vector<std::string> errors;
  const TRules rules = ParseRules(table, errors);
  for (const auto& e : errors) std::cerr << "check_layers: " << e << "\n";
  if (!errors.empty()) return 2;

  std::vector<TSourceFile> files;
  for (const char* top : {"src", "apps", "tools"}) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(tree / top, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file() || !IsSource(it->path())) continue;
      std::string text;
      if (!Read(it->path(), text)) {
        std::cerr << "check_layers: cannot read " << it->path() << "\n";
        return 2;
      }
      files.push_back({it->path().lexically_relative(tree).generic_string(), IncludesOf(text)});
    }
  }

  const TVerdict v = Check(rules, ParseLinks(linkText), files);
  for (const auto& u : v.UnusedAllowed) std::cout << "check_layers: no longer needed: " << u << "\n";
  for (const auto& line : v.Violations) std::cout << "check_layers: " << line << "\n";
  std::cout << "check_layers: " << files.size() << " files, " << v.Violations.size() << " violation(s)\n";
  return v.Violations.empty() ? 0 : 1;
}
