#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <functional>
#include <string>

#include "TempDir.h"
#include "core/IniFile.h"

namespace kassiro {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

TEST(IniText, FindsTheKeyOfTheSection) {
  const struct {
    const char* name;
    const char* text;
    std::optional<std::string> want;
  } cases[] = {
      {"plain", "[Options]\nLanguageID=3\n", "3"},
      {"empty text", "", std::nullopt},
      {"no section", "LanguageID=3\n", std::nullopt},
      {"other section only", "[Other]\nLanguageID=3\n", std::nullopt},
      {"key in a later section", "[Options]\nX=1\n[Other]\nLanguageID=3\n", std::nullopt},
      {"after other sections", "[A]\nLanguageID=9\n[Options]\nLanguageID=4\n", "4"},
      {"blanks everywhere", "  [ Options ]  \n\t LanguageID \t=  5  \n", "5"},
      {"CR LF lines", "[Options]\r\nLanguageID=2\r\n", "2"},
      {"case of names", "[OPTIONS]\nlanguageid=6\n", "6"},
      {"no final line end", "[Options]\nLanguageID=1", "1"},
      {"byte order mark", "\xEF\xBB\xBF[Options]\nLanguageID=2\n", "2"},
      {"comments", "; c\n[Options]\n;LanguageID=9\n# LanguageID=8\nLanguageID=3\n", "3"},
      {"first of two keys", "[Options]\nLanguageID=3\nLanguageID=4\n", "3"},
      {"empty value", "[Options]\nLanguageID=\n", ""},
      {"line without =", "[Options]\nLanguageID\n", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindIniValue(c.text, "Options", "LanguageID"), c.want) << c.name;
  }
}

TEST(IniText, IntegerValues) {
  EXPECT_EQ(ParseIniInteger("3"), 3);
  EXPECT_EQ(ParseIniInteger("-2"), -2);
  EXPECT_EQ(ParseIniInteger("+7"), 7);
  EXPECT_EQ(ParseIniInteger("0042"), 42);
  for (const char* bad : {"", "x", "3x", "3 4", "1.5", "+", "-", "+-3", "99999999999"}) {
    EXPECT_EQ(ParseIniInteger(bad), std::nullopt) << bad;
  }
}

TEST(IniText, SetReplacesAddsOrAppendsAndKeepsTheRest) {
  const struct {
    const char* name;
    const char* text;
    const char* want;
  } cases[] = {
      {"empty text", "", "[Options]\nLanguageID=4\n"},
      {"replace, keep others", "; top\n[A]\nk=v\n[Options]\nX=1\nlanguageid = 2 \nY=2\n",
       "; top\n[A]\nk=v\n[Options]\nX=1\nLanguageID=4\nY=2\n"},
      {"add after the section's last key", "[Options]\nX=1\n\n[B]\nz=1\n",
       "[Options]\nX=1\nLanguageID=4\n\n[B]\nz=1\n"},
      {"add to an empty last section", "[A]\nk=v\n[Options]",
       "[A]\nk=v\n[Options]\nLanguageID=4\n"},
      {"add section after text without final line end", "[A]\nk=v",
       "[A]\nk=v\n[Options]\nLanguageID=4\n"},
      {"CR LF file stays CR LF", "[A]\r\nk=v\r\n[Options]\r\nX=1\r\n",
       "[A]\r\nk=v\r\n[Options]\r\nX=1\r\nLanguageID=4\r\n"},
      {"replace in CR LF file", "[Options]\r\nLanguageID=1\r\nX=1\r\n",
       "[Options]\r\nLanguageID=4\r\nX=1\r\n"},
      {"only the first of two keys", "[Options]\nLanguageID=1\nLanguageID=2\n",
       "[Options]\nLanguageID=4\nLanguageID=2\n"},
      {"byte order mark stays in front", "\xEF\xBB\xBF[Options]\nLanguageID=1\n",
       "\xEF\xBB\xBF[Options]\nLanguageID=4\n"},
      {"comment line is not the key", "[Options]\n;LanguageID=1\n",
       "[Options]\nLanguageID=4\n;LanguageID=1\n"},
      // A lone CR does not end a line: what follows it would join the last line.
      {"last line ends in a lone CR", "[A]\nk=v\r", "[A]\nk=v\r\n[Options]\nLanguageID=4\n"},
      {"a lone CR inside a line", "[A]\nk=v\r[Options]\n", "[A]\nk=v\r[Options]\n[Options]\nLanguageID=4\n"},
  };
  for (const auto& c : cases) {
    const std::string out = SetIniValue(c.text, "Options", "LanguageID", "4");
    EXPECT_EQ(out, c.want) << c.name;
    EXPECT_EQ(FindIniValue(out, "Options", "LanguageID"), "4") << c.name;
  }
}

class IniFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path ini = dir / "Srv.INI";
};

TEST_F(IniFileTest, ReadGivesTheDefaultWhenNothingUsableIsThere) {
  EXPECT_EQ(ReadLanguageID(ini, 5), 5);  // no file
  for (const char* text : {"", "[Other]\nLanguageID=3\n", "[Options]\nX=1\n",
                           "[Options]\nLanguageID=three\n", "[Options]\nLanguageID=\n"}) {
    WriteFile(ini, text);
    EXPECT_EQ(ReadLanguageID(ini, 5), 5) << text;
  }
  EXPECT_EQ(ReadLanguageID(dir.path(), 5), 5);  // a directory, not a file
}

TEST_F(IniFileTest, ReadReturnsValuesOutsideTheTableRangeAsTheyAre) {
  WriteFile(ini, "[options]\r\n  LANGUAGEID = 9 \r\n");
  EXPECT_EQ(ReadLanguageID(ini, 1), 9);
  WriteFile(ini, "[Options]\nLanguageID=-1\n");
  EXPECT_EQ(ReadLanguageID(ini, 1), -1);
}

TEST_F(IniFileTest, WriteThenRead) {
  ASSERT_TRUE(WriteLanguageID(ini, 3));
  EXPECT_EQ(ReadLanguageID(ini, 1), 3);
  EXPECT_EQ(ReadFile(ini), "[Options]\nLanguageID=3\n");
  ASSERT_TRUE(WriteLanguageID(ini, 6));
  EXPECT_EQ(ReadLanguageID(ini, 1), 6);
  // Nothing but the file itself is left in the directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
}

TEST_F(IniFileTest, WriteKeepsOtherContentAndLineEndings) {
  const std::string before =
      "; settings of the server\r\n[Window]\r\nLeft=10\r\n\r\n[Options]\r\nLanguageID=1\r\n"
      "Extra = keep me\r\n[Last]\r\nz=1\r\n";
  WriteFile(ini, before);
#ifndef _WIN32
  ::chmod(ini.c_str(), 0640);
#endif
  ASSERT_TRUE(WriteLanguageID(ini, 2));
  EXPECT_EQ(ReadFile(ini),
            "; settings of the server\r\n[Window]\r\nLeft=10\r\n\r\n[Options]\r\nLanguageID=2\r\n"
            "Extra = keep me\r\n[Last]\r\nz=1\r\n");
#ifndef _WIN32  // the mode of a POSIX file, kept by the replace
  EXPECT_EQ(fs::status(ini).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
}

TEST_F(IniFileTest, WriteFailsWithoutTouchingAnything) {
  EXPECT_FALSE(WriteLanguageID(dir / "missing" / "Srv.INI", 2));
  EXPECT_FALSE(fs::exists(dir / "missing"));
  fs::create_directory(dir / "Srv.INI");  // a directory in the file's place
  EXPECT_FALSE(WriteLanguageID(ini, 2));
  EXPECT_TRUE(fs::is_directory(ini));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
}

// Under Wine a Unix link is the file it leads to, there are no FIFOs, and mingw's
// std::filesystem makes no links; the refusal of a reparse point is Windows' own.
#ifndef _WIN32
// The file holds one number: a link (to /dev/zero or anywhere), a FIFO or a huge file
// is not read at all, promptly, and the reason names it; a write then leaves it alone.
TEST_F(IniFileTest, ALinkFifoOrHugeFileIsNotReadAndNotReplaced) {
  const struct {
    const char* name;
    std::function<void()> make;
    std::string problem;
  } cases[] = {
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", ini); }, "it is a symbolic link, not a regular file"},
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(ini.c_str(), 0666), 0); }, "it is a FIFO, not a regular file"},
      {"huge file",
       [&] {
         WriteFile(ini, "[Options]\nLanguageID=3\n");
         fs::resize_file(ini, std::uintmax_t{1} << 32);  // sparse: takes no room on disk
       },
       "it is larger than " + std::to_string(INI_MAX_BYTES) + " bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(ini);
    c.make();
    std::string problem;
    EXPECT_EQ(ReadLanguageID(ini, 5, &problem), 5);
    EXPECT_EQ(problem, c.problem);
    const auto type = fs::symlink_status(ini).type();
    EXPECT_FALSE(WriteLanguageID(ini, 2, &problem));
    EXPECT_EQ(problem, c.problem);
    EXPECT_EQ(fs::symlink_status(ini).type(), type);
  }
  // Just within the bound, it is read.
  WriteFile(ini, "[Options]\nLanguageID=4\n;" + std::string(INI_MAX_BYTES - 24, 'x'));
  ASSERT_EQ(fs::file_size(ini), INI_MAX_BYTES);
  std::string problem = "stale";
  EXPECT_EQ(ReadLanguageID(ini, 5, &problem), 4);
  EXPECT_EQ(problem, "");
}
#endif

}  // namespace
}  // namespace kassiro
