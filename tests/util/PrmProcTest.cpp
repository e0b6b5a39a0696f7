#include "util/PrmProc.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace kassiro {
namespace {

// A program's argv: the program name first, the arguments behind it.
TParamList FromArgs(const std::vector<const char*>& args) {
  std::vector<const char*> argv{"kassiro"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(nullptr);
  return TParamList(static_cast<int>(argv.size() - 1), argv.data());
}

TEST(ParamList, SplitsEachArgumentIntoUpperCaseNameAndValue) {
  struct Case {
    const char* arg;
    const char* name;
    const char* val;
  };
  const Case cases[] = {
      {"/q:abc", "Q", "abc"}, {"-Q:abc", "Q", "abc"},  {"q:abc", "Q", "abc"},
      {"--q", "-Q", ""},      {"/q:a:b", "Q", "a:b"},  {"", "", ""},
      {"/", "", ""},          {"-/x", "/X", ""},       {"/-x", "-X", ""},
      {"//x", "/X", ""},      {"name:", "NAME", ""},   {":v", "", "v"},
      {"Ab1_z:MiXed", "AB1_Z", "MiXed"},
      {"\xe9q:\xe9", "\xe9Q", "\xe9"},  // bytes above 0x7F are left as they are
  };
  std::vector<const char*> args;
  for (const Case& tc : cases) args.push_back(tc.arg);
  const TParamList list = FromArgs(args);
  ASSERT_EQ(list.Count(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].arg);
    EXPECT_EQ(list.Items(i).Name, cases[i].name);
    EXPECT_EQ(list.GetItem(i).Val, cases[i].val);
  }
}

TEST(ParamList, HasParamFindsTheFirstItemOfThatName) {
  const TParamList list = FromArgs({"-x", "/q:first", "Q:second"});
  for (const char* pm : {"q", "Q"}) {
    std::string val = "unset";
    EXPECT_TRUE(list.HasParam(pm, val));
    EXPECT_EQ(val, "first");
  }
  std::string val = "kept";
  EXPECT_FALSE(list.HasParam("Z", val));
  EXPECT_EQ(val, "kept");
  EXPECT_TRUE(list.HasParam("x", val));
  EXPECT_EQ(val, "");
}

TEST(ParamList, InitRefillsAndTheListCanBeEdited) {
  TParamList list = FromArgs({"/a", "/b"});
  const char* argv[] = {"kassiro", "/c", nullptr};
  list.Init(2, argv);
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.Items(0).Name, "C");

  EXPECT_EQ(list.AddParam("D", "1"), 1u);
  EXPECT_EQ(list.AddParam("E", "2"), 2u);
  list.Delete(1);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Items(1).Name, "E");
  EXPECT_THROW(list.Delete(2), std::out_of_range);
  EXPECT_THROW((void)list.Items(2), std::out_of_range);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);

  list.Init(0, nullptr);  // no program name at all
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(FromArgs({}).Count(), 0u);
}

}  // namespace
}  // namespace kassiro
