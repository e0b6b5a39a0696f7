#include "LayerCheck.h"

#include <filesystem>
#include <optional>
#include <sstream>

namespace kassiro::layers {

namespace {

std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> out;
  std::istringstream in{std::string(line)};
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const auto end = text.find('\n');
    out.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

bool Under(std::string_view path, std::string_view place) {
  return path == place || (path.starts_with(place) && path.size() > place.size() && path[place.size()] == '/');
}

// The place a file belongs to: the longest path that holds it.
const TRules::TPlace* PlaceOf(const TRules& rules, std::string_view path) {
  const TRules::TPlace* best = nullptr;
  for (const auto& p : rules.Places)
    if (Under(path, p.Path) && (!best || p.Path.size() > best->Path.size())) best = &p;
  return best;
}

std::optional<std::string> Resolve(const std::set<std::string>& tree, std::string_view from,
                                   const std::string& include) {
  namespace fs = std::filesystem;
  const fs::path beside = fs::path(std::string(from)).parent_path() / include;
  for (const fs::path& p : {beside, fs::path("src") / include, fs::path("tools") / include}) {
    const std::string name = p.lexically_normal().generic_string();
    if (tree.contains(name)) return name;
  }
  return std::nullopt;
}

class TJudge {
 public:
  TJudge(const TRules& rules, TVerdict& verdict) : rules_(rules), verdict_(verdict) {}

  void Problem(const std::string& from, const std::string& to, const std::string& text) {
    for (std::size_t i = 0; i < rules_.Allowed.size(); ++i) {
      if (rules_.Allowed[i].From == from && rules_.Allowed[i].To == to) {
        used_.insert(i);
        return;
      }
    }
    verdict_.Violations.push_back(text);
  }
  void ReportUnused() {
    for (std::size_t i = 0; i < rules_.Allowed.size(); ++i) {
      const auto& a = rules_.Allowed[i];
      if (!used_.contains(i)) verdict_.UnusedAllowed.push_back("allow " + a.From + " " + a.To + " " + a.Reason);
    }
  }

 private:
  const TRules& rules_;
  TVerdict& verdict_;
  std::set<std::size_t> used_;
};

}  // namespace

TRules ParseRules(std::string_view text, std::vector<std::string>& errors) {
  TRules rules;
  int level = 0;
  int number = 0;
  for (const std::string_view line : Lines(text)) {
    ++number;
    const auto words = Words(line);
    if (words.empty() || words[0].starts_with('#')) continue;
    const auto bad = [&](const std::string& why) {
      errors.push_back("layers table line " + std::to_string(number) + ": " + why + ": " + std::string(line));
    };
    if (words[0] == "layer") {
      if (words.size() < 2) bad("a layer without a name");
      for (std::size_t i = 1; i < words.size(); ++i) rules.Rank[words[i]] = level;
      ++level;
    } else if (words[0] == "allow") {
      if (words.size() < 4) bad("an exception needs what includes, what it includes, and why");
      else {
        std::string why;
        for (std::size_t i = 3; i < words.size(); ++i) why += (i > 3 ? " " : "") + words[i];
        rules.Allowed.push_back({words[1], words[2], why});
      }
    } else if (words.size() != 3 && words.size() != 4) {
      bad("a place is: folder or file, target, layer, and the one system it is built for if any");
    } else if (!rules.Rank.contains(words[2])) {
      bad("no layer named " + words[2] + " above");
    } else {
      rules.Places.push_back({words[0], words[1], words[2], words.size() == 4 ? words[3] : std::string()});
    }
  }
  return rules;
}

TLinks ParseLinks(std::string_view text) {
  TLinks links;
  for (const std::string_view line : Lines(text)) {
    const auto words = Words(line);
    if (words.empty()) continue;
    auto& deps = links[words[0]];
    deps.insert(words.begin() + 1, words.end());
  }
  return links;
}

std::vector<std::string> IncludesOf(std::string_view text) {
  std::vector<std::string> out;
  for (std::string_view line : Lines(text)) {
    const auto at = line.find_first_not_of(" \t");
    if (at == std::string_view::npos || line[at] != '#') continue;
    line.remove_prefix(at + 1);
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(" \t")));
    if (!line.starts_with("include")) continue;
    const auto open = line.find('"');
    const auto close = open == std::string_view::npos ? open : line.find('"', open + 1);
    if (close != std::string_view::npos) out.emplace_back(line.substr(open + 1, close - open - 1));
  }
  return out;
}

TVerdict Check(const TRules& rules, const TLinks& links, const std::vector<TSourceFile>& files) {
  TVerdict verdict;
  TJudge judge(rules, verdict);
  std::set<std::string> tree;
  for (const auto& f : files) tree.insert(f.Path);
  std::map<std::string, std::set<std::string>> included;  // target -> targets its files include
  const auto rank = [&](const std::string& target) -> std::optional<int> {
    for (const auto& p : rules.Places)
      if (p.Target == target) return rules.Rank.at(p.Layer);
    return std::nullopt;
  };

  for (const auto& f : files) {
    const auto* place = PlaceOf(rules, f.Path);
    if (!place) {
      judge.Problem(f.Path, "-", f.Path + " belongs to no library: add a line \"FOLDER TARGET LAYER\" for it to cmake/layers.txt");
      continue;
    }
    const auto linked = links.find(place->Target);
    const bool elsewhere = linked == links.end() && !place->OnlyOn.empty();  // built for another system
    if (linked == links.end() && !elsewhere) {
      judge.Problem(f.Path, place->Target, f.Path + ": " + place->Target + " is not a target of the build (cmake/layers.txt)");
      continue;
    }
    for (const auto& inc : f.Includes) {
      const auto target = Resolve(tree, f.Path, inc);
      if (!target) continue;
      const auto* other = PlaceOf(rules, *target);
      if (!other || other->Target == place->Target) continue;
      included[place->Target].insert(other->Target);
      const std::string what = f.Path + " includes \"" + inc + "\" of " + other->Target + " (" + other->Layer + ")";
      if (rules.Rank.at(other->Layer) > rules.Rank.at(place->Layer))
        judge.Problem(f.Path, *target, what + ", a layer above " + place->Target + " (" + place->Layer + ")");
      else if (!elsewhere && !linked->second.contains(other->Target))
        judge.Problem(f.Path, *target, what + ", which " + place->Target + " does not link");
    }
  }

  // What each library declares: no higher layer, and nothing its files do not include.
  std::set<std::string> seen;
  for (const auto& p : rules.Places) {
    const auto linked = links.find(p.Target);
    if (linked == links.end() || !seen.insert(p.Target).second) continue;
    for (const auto& dep : linked->second) {
      const auto depRank = rank(dep);
      if (!depRank) continue;  // not one of ours: the compiler's, the system's
      if (*depRank > rules.Rank.at(p.Layer))
        judge.Problem(p.Target, dep, p.Target + " (" + p.Layer + ") links " + dep + ", a layer above it");
      else if (!included[p.Target].contains(dep))
        judge.Problem(p.Target, dep, p.Target + " links " + dep + " but none of its files includes it");
    }
  }
  judge.ReportUnused();
  return verdict;
}

}  // namespace kassiro::layers
