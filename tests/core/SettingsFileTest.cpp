#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "Wine.h"
#include "core/LogFile.h"
#include "core/SettingsFile.h"

namespace kassiro {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

void WriteBytes(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Files under dir named like "k.STG.damaged-...".
std::vector<fs::path> KeptAside(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().find(".damaged-") != std::string::npos) found.push_back(e.path());
  }
  return found;
}

// A settings folder whose file and copy the test can tear, garble, empty or remove;
// the program log goes into it too.
class SettingsFiles : public ::testing::Test {
 protected:
  SettingsFiles() { BindProgramLog(dir / "k"); }
  ~SettingsFiles() override { BindProgramLog(logDir / "k"); }

  // The bytes of a saved record with the given counter.
  std::string Saved(std::int32_t globalBon) {
    TempDir scratch;
    {
      TSettingsFile f(scratch / "k.STG");
      TIniStru ini;
      ini.GlobalBon = globalBon;
      ini.sPassword = "pw";
      f.Save(ini);
    }
    return ReadFile(scratch / "k.STG");
  }
  std::string Log() const { return ReadFile(dir / "k.log"); }
  // An empty folder and a new log for the next case.
  void Clear() {
    for (const auto& e : fs::directory_iterator(dir.path())) fs::remove(e.path());
    BindProgramLog(dir / "k");
  }

  fs::path File() const { return dir / "k.STG"; }
  fs::path Copy() const { return dir / "k.STB"; }

  TempDir logDir;  // where the log goes after the test
  TempDir dir;
};

enum class TState { Missing, Empty, Old, New, Torn, Garbled };

struct TDamageCase {
  const char* name;
  TState file, copy;
  std::optional<std::int32_t> loaded;  // nullopt: the defaults stay
  int keptAside;
  const char* logged;  // a part of the log line, or "" for none
};

TEST_F(SettingsFiles, ADamagedFileIsReadFromItsCopyAndOnlyTwoBadOnesAreSetAside) {
  const TDamageCase cases[] = {
      {"first start", TState::Missing, TState::Missing, std::nullopt, 0, ""},
      {"both good", TState::New, TState::New, 200, 0, ""},
      {"file torn", TState::Torn, TState::New, 200, 0, "is damaged; the settings were restored"},
      {"file garbled", TState::Garbled, TState::New, 200, 0, "is damaged; the settings were restored"},
      {"file emptied", TState::Empty, TState::New, 200, 0, "is empty; the settings were restored"},
      {"file removed", TState::Missing, TState::New, 200, 0, "is empty; the settings were restored"},
      // The copy is written first: a save cut short leaves one of these two.
      {"cut after the copy", TState::Old, TState::New, 100, 0, ""},
      {"cut in the copy", TState::Old, TState::Torn, 100, 0, ""},
      {"no copy yet", TState::Old, TState::Missing, 100, 0, ""},
      {"both torn", TState::Torn, TState::Garbled, std::nullopt, 2, "are damaged; the server goes on with the default settings."},
      {"file garbled, no copy", TState::Garbled, TState::Missing, std::nullopt, 1, "is damaged and has no good copy"},
      // An empty file that was there before the start lost its record: the counter must
      // not silently go back to 1.
      {"file emptied, no copy", TState::Empty, TState::Missing, std::nullopt, 1, "is empty and has no good copy"},
      {"file emptied, copy empty", TState::Empty, TState::Empty, std::nullopt, 1, "is empty and has no good copy"},
      {"file empty, copy torn", TState::Empty, TState::Torn, std::nullopt, 2, "is empty and its copy is damaged"},
  };
  const std::string oldRecord = Saved(100), newRecord = Saved(200);
  const auto write = [&](const fs::path& p, TState st) {
    switch (st) {
      case TState::Missing: fs::remove(p); break;
      case TState::Empty: WriteBytes(p, ""); break;
      case TState::Old: WriteBytes(p, oldRecord); break;
      case TState::New: WriteBytes(p, newRecord); break;
      case TState::Torn: WriteBytes(p, newRecord.substr(0, 700) + oldRecord.substr(700)); break;
      case TState::Garbled: {
        std::string b = newRecord;
        b[600] = static_cast<char>(b[600] ^ 0x55);
        WriteBytes(p, b);
        break;
      }
    }
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Clear();
    write(File(), c.file);
    write(Copy(), c.copy);
    TIniStru ini;
    {
      TSettingsFile f(File());
      ASSERT_TRUE(f.Unique());
      EXPECT_EQ(f.Load(ini), c.loaded.has_value());
    }
    EXPECT_EQ(ini.GlobalBon, c.loaded.value_or(1));
    EXPECT_EQ(KeptAside(dir.path()).size(), static_cast<std::size_t>(c.keptAside));
    if (*c.logged != 0) {
      EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    } else {
      EXPECT_EQ(Log(), "");
    }
    // Whatever was found, both files hold a good record now (the first start writes the
    // defaults at once), so the next start says nothing.
    const std::string logBefore = Log();
    TSettingsFile again(File());
    TIniStru back;
    EXPECT_TRUE(again.Load(back));
    EXPECT_EQ(back.GlobalBon, c.loaded.value_or(1));
    EXPECT_EQ(Log(), logBefore);
  }
}

// A save cut off at any byte, in the copy or in the file, never loses the settings:
// what loads is the record before the save or the one it wrote.
TEST_F(SettingsFiles, ASaveCutOffAtAnyByteLosesNothing) {
  const std::string oldRecord = Saved(100), newRecord = Saved(200);
  for (std::size_t cut = 0; cut <= newRecord.size(); cut += 37) {
    for (const bool inCopy : {true, false}) {
      SCOPED_TRACE(std::to_string(cut) + (inCopy ? " in the copy" : " in the file"));
      const std::string torn = newRecord.substr(0, cut) + oldRecord.substr(cut);
      WriteBytes(Copy(), inCopy ? torn : newRecord);
      WriteBytes(File(), inCopy ? oldRecord : torn);
      TSettingsFile f(File());
      TIniStru ini;
      ASSERT_TRUE(f.Load(ini));
      EXPECT_TRUE(ini.GlobalBon == 100 || ini.GlobalBon == 200) << ini.GlobalBon;
      EXPECT_EQ(ini.sPassword, "pw");
    }
  }
  EXPECT_TRUE(KeptAside(dir.path()).empty());
}

TEST_F(SettingsFiles, ASaveWritesTheCopyAsWell) {
  if (testing::UnderWine()) GTEST_SKIP() << "Wine keeps the name of a held file that was removed";
  TSettingsFile f(File());
  TIniStru ini;
  ini.GlobalBon = 33;
  ASSERT_TRUE(f.Save(ini));
  EXPECT_EQ(fs::file_size(Copy()), 13u + INI_STRU_SIZE + 4u);
  fs::remove(File());
  fs::copy_file(Copy(), File());
  TIniStru back;
  ASSERT_TRUE(f.Load(back)) << "the copy alone is a settings file";
}

// The file removed, or replaced by another, while a copy of the program holds it: the
// next save takes the file at the name again, and a second holder stays out.
TEST_F(SettingsFiles, AFileRemovedOrReplacedIsWrittenAnewAndHeldAtTheNextSave) {
  // Wine keeps the name of a held file until its last handle closes and refuses to
  // rename another over it; Windows 10 on NTFS lets both go at once, as POSIX does.
  if (testing::UnderWine()) GTEST_SKIP() << "Wine keeps the name of a held file";
  for (const bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replaced" : "removed");
    Clear();
    TSettingsFile running(File());
    TIniStru ini;
    ini.GlobalBon = 10;
    ASSERT_TRUE(running.Save(ini));
    if (replace) {
      WriteBytes(dir / "other", Saved(3));
      fs::rename(dir / "other", File());
    } else {
      fs::remove(File());
    }
    {
      TSettingsFile meanwhile(File());  // the lock is gone with the file
      EXPECT_TRUE(meanwhile.Unique());
    }
    ini.GlobalBon = 11;
    ASSERT_TRUE(running.Save(ini));
    EXPECT_NE(Log().find("k.STG was removed or replaced while the server ran; it is written anew"),
              std::string::npos)
        << Log();
    TSettingsFile second(File());
    EXPECT_FALSE(second.Unique());
    EXPECT_TRUE(second.HeldByAnother());
    TIniStru back;
    ASSERT_TRUE(running.Load(back));
    EXPECT_EQ(back.GlobalBon, 11);
  }
}

// Only a file held by another copy is a reason to end silently; every other failure to
// open or create it has a reason for the operator.
TEST_F(SettingsFiles, AFileThatCannotBeOpenedHasAReason) {
  fs::create_directory(File());
  TSettingsFile f(File());
  EXPECT_FALSE(f.Unique());
  EXPECT_FALSE(f.HeldByAnother());
  EXPECT_EQ(f.OpenFailure(), "Cannot open the settings file " + File().string() + ": Is a directory");
  fs::remove(File());
  TSettingsFile held(File());
  EXPECT_EQ(held.OpenFailure(), "");
}

TEST(SettingsFile, AFreshFileLeavesTheDefaultsAndASaveLoadsBack) {
  TempDir dir;
  TIniStru ini;
  {
    TSettingsFile file(dir / "kassirod.STG");
    ASSERT_TRUE(file.Unique());
    EXPECT_FALSE(file.Load(ini));  // empty: defaults stay
    EXPECT_EQ(ini.ComPortName, "COM1");
    ini.ComPortName = "pts/3";
    ini.GlobalBon = 77;
    ini.ERData[5].Line = 9;
    file.Save(ini);
  }
  EXPECT_EQ(std::filesystem::file_size(dir / "kassirod.STG"), 13u + INI_STRU_SIZE + 4u);
  TSettingsFile again(dir / "kassirod.STG");
  TIniStru back;
  ASSERT_TRUE(again.Load(back));
  EXPECT_EQ(EncodeIniStru(back), EncodeIniStru(ini));
}

TEST(SettingsFile, ASecondHolderIsRefused) {
  TempDir dir;
  TSettingsFile first(dir / "k.STG");
  TSettingsFile second(dir / "k.STG");
  EXPECT_TRUE(first.Unique());
  EXPECT_FALSE(second.Unique());
  TIniStru ini;
  ini.GlobalBon = 5;
  EXPECT_TRUE(second.HeldByAnother());
  EXPECT_FALSE(second.Save(ini));  // does nothing
  TIniStru back;
  EXPECT_FALSE(first.Load(back));
}

}  // namespace
}  // namespace kassiro
