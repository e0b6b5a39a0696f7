#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "TempDir.h"
#include "core/SettingsFile.h"

namespace kassiro {
namespace {

using testing::TempDir;

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
  second.Save(ini);  // does nothing
  second.SaveLater(ini);
  second.Flush();
  TIniStru back;
  EXPECT_FALSE(first.Load(back));
}

TEST(SettingsFile, SaveLaterWritesTheNewestSnapshotAndFlushWaitsForIt) {
  TempDir dir;
  TSettingsFile file(dir / "k.STG");
  TIniStru ini;
  for (int i = 1; i <= 200; ++i) {
    ini.GlobalBon = i;
    file.SaveLater(ini);
  }
  file.Flush();
  TIniStru back;
  ASSERT_TRUE(file.Load(back));
  EXPECT_EQ(back.GlobalBon, 200);
}

TEST(SettingsFile, ADirectSaveIsNeverOverwrittenByAnOlderPendingSnapshot) {
  TempDir dir;
  TSettingsFile file(dir / "k.STG");
  TIniStru ini;
  std::thread later([&] {
    TIniStru old;
    for (int i = 1; i <= 100; ++i) {
      old.GlobalBon = i;
      file.SaveLater(old);
    }
  });
  later.join();
  ini.GlobalBon = 1000;
  file.Save(ini);
  file.Flush();
  TIniStru back;
  ASSERT_TRUE(file.Load(back));
  EXPECT_EQ(back.GlobalBon, 1000);
}

TEST(SettingsFile, PendingSnapshotsReachTheDiskWhenTheFileCloses) {
  TempDir dir;
  {
    TSettingsFile file(dir / "k.STG");
    TIniStru ini;
    ini.GlobalBon = 42;
    file.SaveLater(ini);
  }
  TSettingsFile again(dir / "k.STG");
  TIniStru back;
  ASSERT_TRUE(again.Load(back));
  EXPECT_EQ(back.GlobalBon, 42);
}

}  // namespace
}  // namespace kassiro
