// The layering of the code, checked from the sources: which library each file belongs
// to, which libraries each library links (as the build declares them), and the
// `#include "..."` lines of every file. A file may include its own library and the
// libraries its target links directly, never one of a higher layer; a library links no
// library of a higher layer and none it does not include.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kassiro::layers {

// The table of cmake/layers.txt: the layers, lowest first (several names may share a
// level), where each target's files are, and the known exceptions.
struct TRules {
  struct TPlace {
    std::string Path;  // a folder or one file, from the top of the tree
    std::string Target;
    std::string Layer;
    // The system it is built for, when only one ("windows"): where the build has no such
    // target, its files are held to the layers' order alone.
    std::string OnlyOn;
  };
  struct TAllow {
    std::string From;  // a file or a target
    std::string To;    // the file it includes, or the target it links
    std::string Reason;
  };
  std::map<std::string, int> Rank;  // layer name -> level, 0 lowest
  std::vector<TPlace> Places;
  std::vector<TAllow> Allowed;
};

// Reads the table; a line it cannot read is added to errors.
TRules ParseRules(std::string_view text, std::vector<std::string>& errors);

// What each target links directly: lines "target dep dep ...", as the build writes them.
using TLinks = std::map<std::string, std::set<std::string>>;
TLinks ParseLinks(std::string_view text);

// The names in the `#include "..."` lines of a source text (not those in <>).
std::vector<std::string> IncludesOf(std::string_view text);

struct TSourceFile {
  std::string Path;                   // from the top of the tree, with '/'
  std::vector<std::string> Includes;  // as written
};

struct TVerdict {
  std::vector<std::string> Violations;     // one line each, naming the file or target
  std::vector<std::string> UnusedAllowed;  // exceptions that nothing needs any more
};

// An include is looked for beside the including file, then under src/ and tools/; one
// found in none of the files is outside the tree (system, third party, generated) and
// not judged.
TVerdict Check(const TRules& rules, const TLinks& links, const std::vector<TSourceFile>& files);

}  // namespace kassiro::layers
