#include "ecrsim/SimScript.h"

#include <gtest/gtest.h>

#include <string>

namespace kassiro::ecrsim {
namespace {

TEST(SimScript, ReadsEveryDirective) {
  const auto s = ParseSimScript(R"(# a shop
ecr 3 serial 123456
online "{serial};{block};0;A;B;"     # report
online "{serial};{block};8;4711;;12.50;" answer times 2
loop
block 9
reply R "0;{text}"
reply * "E1;"
fault badcrc 2
fault nak
fault noise 3
fault silent 1

ecr 7
inline "\x41\"#;"   # quote, escape and hash inside the text
fault silent
fault answerall
fault stream 5
)",
                                "shop.sim");
  ASSERT_EQ(s.Ecrs.size(), 2u);
  const TEcrScript& a = s.Ecrs[0];
  EXPECT_EQ(a.Ecr, 3);
  EXPECT_EQ(a.Serial, "123456");
  EXPECT_EQ(a.Inline, "{serial};");
  ASSERT_EQ(a.Online.size(), 2u);
  EXPECT_EQ(a.Online[0].Text, "{serial};{block};0;A;B;");
  EXPECT_FALSE(a.Online[0].WaitAnswer);
  EXPECT_EQ(a.Online[0].Times, 1);
  EXPECT_TRUE(a.Online[1].WaitAnswer);
  EXPECT_EQ(a.Online[1].Times, 2);
  EXPECT_TRUE(a.Loop);
  EXPECT_EQ(a.FirstBlockNo, 9);
  EXPECT_EQ(a.Replies.at('R'), "0;{text}");
  EXPECT_EQ(a.DefaultReply, "E1;");
  EXPECT_EQ(a.Faults.BadCrc, 2);
  EXPECT_EQ(a.Faults.Nak, 1);
  EXPECT_EQ(a.Faults.Noise, 3);
  EXPECT_EQ(a.Faults.Silent, 1);

  const TEcrScript& b = s.Ecrs[1];
  EXPECT_EQ(b.Serial, "004707");
  EXPECT_EQ(b.Inline, "A\"#;");
  EXPECT_EQ(b.DefaultReply, "0;");
  EXPECT_EQ(b.Faults.Silent, TFaults::Always);
  EXPECT_EQ(b.Faults.AnswerAll, TFaults::Always);
  EXPECT_EQ(b.Faults.Stream, 5);
  EXPECT_TRUE(b.Online.empty());
}

TEST(SimScript, ExpandsPlaceholders) {
  TEcrScript e = DefaultEcr(5);
  EXPECT_EQ(Expand("{serial};{block};{ecr};", e, 7), "004705;7;5;");
  EXPECT_EQ(Expand("{seq};", e, 7), "1;");
  EXPECT_EQ(Expand("{block};{seq};", e, 7, std::nullopt, 1234), "7;1234;");
  EXPECT_EQ(Expand("0;{text}", e, 0, std::string_view("12;")), "0;12;");
  EXPECT_THROW(Expand("{text}", e, 0), TScriptError);  // only replies have a command text
  EXPECT_THROW(Expand("{serial", e, 0), TScriptError);
}

TEST(SimScript, BadScriptsSayWhereAndWhat) {
  struct TCase {
    const char* text;
    const char* error;
  };
  const TCase cases[] = {
      {"online \"x\"", "t.sim:1: 'online' before the first 'ecr' line"},
      {"ecr 0", "t.sim:1: ECR number must be 1..99, got '0'"},
      {"ecr 100", "t.sim:1: ECR number must be 1..99, got '100'"},
      {"ecr x", "t.sim:1: ECR number must be 1..99, got 'x'"},
      {"ecr 3\n\necr 3", "t.sim:3: ECR 3 is described twice"},
      {"ecr 3 serial 12a", "t.sim:1: serial number must be 1 to 9 decimal digits, got '12a'"},
      {"ecr 3 sn 12", "t.sim:1: expected 'serial NUMBER' after the ECR number"},
      {"ecr 3\nonlin \"x\"", "t.sim:2: unknown directive 'onlin'"},
      {"ecr 3\nonline \"{serial};{block};0;", "t.sim:2: unclosed quote"},
      {"ecr 3\nonline {serial};", "t.sim:2: expected a quoted text after 'online'"},
      {"ecr 3\nonline \"1;2;\"", "t.sim:2: the on-line block \"1;2;\" has 4 bytes; it must have 8 to 254"},
      {"ecr 3\nonline \"{serial};{blok};0;\"", "t.sim:2: unknown placeholder {blok}"},
      {"ecr 3\nonline \"{serial};{block};0;\" twice", "t.sim:2: unexpected 'twice' after 'online'"},
      {"ecr 3\nonline \"{serial};{block};0;\" times 0", "t.sim:2: times must be 1..1000, got '0'"},
      {"ecr 3\nonline \"a\\x0Ab;{serial};\"", "t.sim:2: an on-line block must not contain the bytes 0A or 0D"},
      {"ecr 3\nreply RR \"0;\"", "t.sim:2: expected a command letter or '*' after 'reply'"},
      {"ecr 3\nreply R", "t.sim:2: expected a quoted text after 'reply'"},
      {"ecr 3\nreply R \"{text}\\x0D\"", "t.sim:2: a reply must not contain the bytes 0A or 0D"},
      {"ecr 3\nfault boom", "t.sim:2: expected badcrc, nak, silent, noise, late, answerall or stream after 'fault'"},
      {"ecr 3\nfault nak -1", "t.sim:2: fault count must be 1..1000000, got '-1'"},
      {"ecr 3\nblock 10", "t.sim:2: block number must be 0..9, got '10'"},
      {"ecr 3\ninline \"x\" y", "t.sim:2: unexpected 'y' after 'inline'"},
      {"ecr 3\ninline \"\\q\"", "t.sim:2: unknown escape '\\q'"},
      {"ecr 3\n\"x\"", "t.sim:2: a line must start with a directive, not a quoted text"},
      {"ecr 3 serial 1234567",
       "t.sim: ECR 3: the in-line answer \"1234567;\" has 8 bytes; at most 7 (longer answers are on-line blocks)"},
      {"ecr 3\ninline \"12345678\"", "t.sim: ECR 3: the in-line answer \"12345678\" has 8 bytes"},
  };
  for (const auto& c : cases) {
    try {
      ParseSimScript(c.text, "t.sim");
      ADD_FAILURE() << "no error for: " << c.text;
    } catch (const TScriptError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
          << "script: " << c.text << "\nerror:  " << e.what();
    }
  }
}

TEST(SimScript, ALongSerialIsFineWithAShortInlineAnswer) {
  const auto s = ParseSimScript("ecr 3 serial 123456789\ninline \"7;\"\n");
  EXPECT_EQ(s.Ecrs[0].Serial, "123456789");
}

TEST(SimScript, AnEmptyScriptHasNoEcrs) {
  EXPECT_TRUE(ParseSimScript("# nothing\n\n").Ecrs.empty());
}

TEST(SimScript, AMissingFileIsAScriptError) {
  try {
    LoadSimScript("/nonexistent/shop.sim");
    FAIL();
  } catch (const TScriptError& e) {
    EXPECT_STREQ(e.what(), "/nonexistent/shop.sim: cannot read the script file");
  }
}

}  // namespace
}  // namespace kassiro::ecrsim
