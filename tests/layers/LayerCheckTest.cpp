// The layering check over small trees held in memory: every kind of violation is found
// and named, and a tree that keeps the rules passes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LayerCheck.h"

namespace kassiro::layers {
namespace {

constexpr std::string_view TABLE = R"(# lowest first
layer util
layer core
layer ecrlink net
layer apps

src/util          kassiro_util     util
src/core          kassiro_core     core
src/ecrlink       kassiro_ecrlink  ecrlink
src/net           kassiro_net      net
apps/kassirod     kassirod         apps
tools/ecrsim      kassiro_ecrsim   apps
tools/ecrsim/main.cpp  ecrsim      apps
)";

constexpr std::string_view LINKS = R"(kassiro_util Threads::Threads
kassiro_core kassiro_util
kassiro_ecrlink kassiro_core kassiro_util
kassiro_net kassiro_core
kassirod kassiro_net kassiro_core kassiro_warnings
kassiro_ecrsim kassiro_ecrlink
ecrsim kassiro_ecrsim
)";

// A tree that keeps every rule; each case below changes one thing.
std::vector<TSourceFile> GoodTree() {
  return {
      {"src/util/ShortStr.h", {"util/ShortStr.h"}},
      {"src/core/LogFile.h", {"util/ShortStr.h", "Version.h"}},
      {"src/core/LogFile.cpp", {"core/LogFile.h"}},
      {"src/ecrlink/PolObj.cpp", {"core/LogFile.h", "util/ShortStr.h"}},
      {"src/net/SockCmps.cpp", {"core/LogFile.h", "asio.hpp"}},
      {"apps/kassirod/Requests.h", {}},
      {"apps/kassirod/main.cpp", {"Requests.h", "net/SockCmps.cpp", "core/LogFile.h"}},
      {"tools/ecrsim/SimRunner.h", {"ecrlink/PolObj.cpp"}},
      {"tools/ecrsim/main.cpp", {"ecrsim/SimRunner.h"}},
  };
}

TVerdict CheckTree(std::vector<TSourceFile> files, std::string extraTable = "", std::string links = std::string(LINKS)) {
  std::vector<std::string> errors;
  const TRules rules = ParseRules(std::string(TABLE) + extraTable, errors);
  EXPECT_TRUE(errors.empty()) << errors.front();
  return Check(rules, ParseLinks(links), files);
}

TEST(LayerCheck, ATreeThatKeepsTheRulesPasses) {
  const TVerdict v = CheckTree(GoodTree());
  EXPECT_TRUE(v.Violations.empty()) << v.Violations.front();
  EXPECT_TRUE(v.UnusedAllowed.empty());
}

TEST(LayerCheck, FindsEveryKindOfViolation) {
  const struct {
    const char* Name;
    TSourceFile Added;       // one more file, or a file of the good tree with one more include
    std::string LinkLine;    // replaces a target's line of links when not empty
    std::string Expected;    // the one violation
  } cases[] = {
      {"a layer above", {"src/core/Bad.cpp", {"net/SockCmps.cpp"}}, "",
       "src/core/Bad.cpp includes \"net/SockCmps.cpp\" of kassiro_net (net), a layer above kassiro_core (core)"},
      {"a sibling of the same layer it does not link", {"src/net/Bad.cpp", {"ecrlink/PolObj.cpp"}}, "",
       "src/net/Bad.cpp includes \"ecrlink/PolObj.cpp\" of kassiro_ecrlink (ecrlink), which kassiro_net does not link"},
      {"a lower library reached only through another", {"src/net/Bad.cpp", {"util/ShortStr.h"}}, "",
       "src/net/Bad.cpp includes \"util/ShortStr.h\" of kassiro_util (util), which kassiro_net does not link"},
      {"the tools' include root", {"tools/ecrsim/Bad.cpp", {"core/LogFile.h"}}, "",
       "tools/ecrsim/Bad.cpp includes \"core/LogFile.h\" of kassiro_core (core), which kassiro_ecrsim does not link"},
      {"a path that climbs out of the folder", {"src/util/Bad.h", {"../core/LogFile.h"}}, "",
       "src/util/Bad.h includes \"../core/LogFile.h\" of kassiro_core (core), a layer above kassiro_util (util)"},
      {"a file of no library", {"src/extra/New.cpp", {}}, "",
       "src/extra/New.cpp belongs to no library: add a line \"FOLDER TARGET LAYER\" for it to cmake/layers.txt"},
      {"a link to a higher layer", {}, "kassiro_core kassiro_util kassiro_net",
       "kassiro_core (core) links kassiro_net, a layer above it"},
      {"a link nothing needs", {}, "kassiro_ecrsim kassiro_ecrlink kassiro_net",
       "kassiro_ecrsim links kassiro_net but none of its files includes it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto files = GoodTree();
    if (!c.Added.Path.empty()) files.push_back(c.Added);
    std::string links(LINKS);
    if (!c.LinkLine.empty()) links += c.LinkLine + "\n";  // a later line adds to the target's links
    const TVerdict v = CheckTree(files, "", links);
    EXPECT_EQ(v.Violations, std::vector<std::string>{c.Expected});
  }
}

TEST(LayerCheck, ReadsTheIncludeLinesOfASource) {
  const std::string text =
      "#include \"a/b.h\"\n"
      "  #  include \"c.h\"  // why\n"
      "#include <vector>\n"
      "// #include \"commented.h\"\n"
      "#define X \"not/an/include.h\"\n"
      "std::string s = \"#include \\\"in/a/string.h\\\"\";\n"
      "#include \"last.h\"";
  EXPECT_EQ(IncludesOf(text), (std::vector<std::string>{"a/b.h", "c.h", "last.h"}));
}

TEST(LayerCheck, AnExceptionWithItsReasonLetsOneIncludePassAndIsReportedOnceUnused) {
  auto files = GoodTree();
  files.push_back({"src/core/Bad.cpp", {"net/SockCmps.cpp"}});
  const std::string allow =
      "allow src/core/Bad.cpp src/net/SockCmps.cpp moved up by the next change\n"
      "allow kassiro_ecrsim kassiro_net left over\n";
  const TVerdict v = CheckTree(files, allow);
  EXPECT_TRUE(v.Violations.empty()) << v.Violations.front();
  EXPECT_EQ(v.UnusedAllowed, std::vector<std::string>{"allow kassiro_ecrsim kassiro_net left over"});
}

TEST(LayerCheck, ATableLineItCannotReadIsAnError) {
  for (const char* bad : {"src/x kassiro_x nolayer\n", "src/x kassiro_x\n", "allow a b\n", "layer\n"}) {
    std::vector<std::string> errors;
    ParseRules(std::string(TABLE) + bad, errors);
    EXPECT_EQ(errors.size(), 1u) << bad;
  }
}

TEST(LayerCheck, AFolderOfATargetTheBuildDoesNotKnowIsNamed) {
  auto files = GoodTree();
  files.push_back({"src/operator/Rows.cpp", {}});
  const TVerdict v = CheckTree(files, "layer operator\nsrc/operator kassiro_operator operator\n");
  EXPECT_EQ(v.Violations, std::vector<std::string>{
                              "src/operator/Rows.cpp: kassiro_operator is not a target of the build (cmake/layers.txt)"});
}

// A library built for one system only: where the build has no such target, its files
// still may not reach a higher layer, but what they include is not held against links
// that this build cannot know.
TEST(LayerCheck, ALibraryOfAnotherSystemIsHeldToTheOrderAlone) {
  const std::string table = "src/winui kassiro_winui core windows\n";
  auto files = GoodTree();
  files.push_back({"src/winui/Tray.cpp", {"core/LogFile.h", "util/ShortStr.h"}});
  EXPECT_TRUE(CheckTree(files, table).Violations.empty());

  files.push_back({"src/winui/Bad.cpp", {"net/SockCmps.cpp"}});
  EXPECT_EQ(CheckTree(files, table).Violations,
            std::vector<std::string>{"src/winui/Bad.cpp includes \"net/SockCmps.cpp\" of kassiro_net (net), a layer "
                                     "above kassiro_winui (core)"});

  std::vector<std::string> errors;
  ParseRules(std::string(TABLE) + "src/x kassiro_x util windows extra\n", errors);
  EXPECT_EQ(errors.size(), 1u);
}

}  // namespace
}  // namespace kassiro::layers
