#include "core/CodeStru.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "TempDir.h"

namespace kassiro {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t SETTINGS_SIZE = 1353;  // the size of the server's settings record

class CodeStruTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    file_ = dir_ / "Kassiro.STG";
  }

  Bytes ReadFile() const {
    std::ifstream in(file_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void WriteFile(const Bytes& bytes) const {
    std::ofstream out(file_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }

  static Bytes Pattern(std::size_t n) {
    Bytes r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return r;
  }

  testing::TempDir temp_;
  fs::path dir_;
  fs::path file_;
};

int OneBits(unsigned v) { return __builtin_popcount(v); }

TEST(CodeStruKey, NiceByteWantsOneToThreeBitsInEachHalf) {
  for (unsigned b = 0; b < 256; ++b) {
    const int low = OneBits(b & 0x0F);
    const int high = OneBits(b >> 4);
    const bool nice = low >= 1 && low <= 3 && high >= 1 && high <= 3;
    EXPECT_EQ(TCodeStru::NiceByte(static_cast<std::uint8_t>(b)), nice ? b : 0u) << b;
  }
}

TEST(CodeStruKey, CheckMemWeighsEachByteByTheSquareOfItsIndex) {
  const Bytes three{0xFF, 0xFF, 0xFF};
  EXPECT_EQ(TCodeStru::CheckMem(three), 255u * 1 + 255u * 4);
  // 255 * sum(i^2, i < 32768) = 2990534726860800, which wraps to 538263552.
  const Bytes big(32768, 0xFF);
  EXPECT_EQ(TCodeStru::CheckMem(big), 538263552u);
}

TEST_F(CodeStruTest, SaveWritesKeyScrambledRecordAndChecksum) {
  TCodeStru stru(file_, SETTINGS_SIZE);
  ASSERT_TRUE(stru.Unique());
  const Bytes record = Pattern(SETTINGS_SIZE);
  const Bytes copy = record;
  stru.Save(record);
  EXPECT_EQ(record, copy);

  const Bytes file = ReadFile();
  ASSERT_EQ(file.size(), 13 + SETTINGS_SIZE + 4);
  EXPECT_EQ(file.size(), 1370u);
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < 12; ++i) x ^= file[i];
  EXPECT_EQ(file[12], x);
  for (std::size_t i = 0; i < 13; ++i) {
    EXPECT_NE(TCodeStru::NiceByte(file[i]), 0) << "key byte " << i;
    EXPECT_EQ(file[i], stru.Key()[i]);
  }
  for (std::size_t i = 0; i < SETTINGS_SIZE; ++i) {
    ASSERT_EQ(file[13 + i], record[i] ^ file[i % 12] ^ file[12]) << i;
  }
  const std::size_t c = 13 + SETTINGS_SIZE;
  const std::uint32_t stored = file[c] | file[c + 1] << 8 | file[c + 2] << 16 |
                               static_cast<std::uint32_t>(file[c + 3]) << 24;
  EXPECT_EQ(stored, stru.ChkSum());
  EXPECT_EQ(stored, TCodeStru::CheckMem(Bytes(file.begin() + 13, file.begin() + c)));
}

TEST_F(CodeStruTest, EachSaveUsesANewKeyAndLoadsBack) {
  const Bytes record = Pattern(SETTINGS_SIZE);
  Bytes first;
  {
    TCodeStru stru(file_, SETTINGS_SIZE);
    stru.Save(record);
    first = ReadFile();
    Bytes loaded(SETTINGS_SIZE, 0);
    ASSERT_TRUE(stru.Load(loaded));
    EXPECT_EQ(loaded, record);
    stru.Save(record);
  }
  const Bytes second = ReadFile();
  EXPECT_NE(first, second);
  // The second file loads in a new object (as at the next program start) ...
  TCodeStru again(file_, SETTINGS_SIZE);
  Bytes loaded(SETTINGS_SIZE, 0);
  ASSERT_TRUE(again.Load(loaded));
  EXPECT_EQ(loaded, record);
  // ... and so does the first one.
  WriteFile(first);
  std::fill(loaded.begin(), loaded.end(), 0);
  ASSERT_TRUE(again.Load(loaded));
  EXPECT_EQ(loaded, record);
}

TEST_F(CodeStruTest, LoadsAByteImageBuiltByHand) {
  // Key 11 22 33 44 55 66 71 82 93 A4 B5 C5, their xor C3; record 10 20 30 40.
  // S[i] = R[i] ^ K[i] ^ C3 = C2 C1 C0 C7; checksum C1*1 + C0*4 + C7*9 = 2752 = 0x0AC0.
  WriteFile({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x71, 0x82, 0x93, 0xA4, 0xB5, 0xC5, 0xC3,
             0xC2, 0xC1, 0xC0, 0xC7,  //
             0xC0, 0x0A, 0x00, 0x00});
  TCodeStru stru(file_, 4);
  Bytes record(4, 0);
  ASSERT_TRUE(stru.Load(record));
  EXPECT_EQ(record, (Bytes{0x10, 0x20, 0x30, 0x40}));
  EXPECT_EQ(stru.ChkSum(), 2752u);
  EXPECT_EQ(stru.Key()[12], 0xC3);
}

TEST_F(CodeStruTest, AChangedRecordOrChecksumByteMakesLoadIgnoreTheFile) {
  TCodeStru stru(file_, SETTINGS_SIZE);
  const Bytes record = Pattern(SETTINGS_SIZE);
  stru.Save(record);
  const Bytes good = ReadFile();

  const std::size_t record1 = 13 + 1;
  const std::size_t checksum = 13 + SETTINGS_SIZE;
  const std::size_t offsets[] = {record1,      record1 + 1,  record1 + 11, record1 + 12,
                                 record1 + 511, 13 + 1024,   13 + SETTINGS_SIZE - 1,
                                 checksum,     checksum + 1, checksum + 2, checksum + 3};
  for (std::size_t offset : offsets) {
    for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      SCOPED_TRACE(std::to_string(offset) + " ^ " + std::to_string(flip));
      Bytes bad = good;
      bad[offset] ^= flip;
      WriteFile(bad);
      Bytes loaded(SETTINGS_SIZE, 0x5A);
      EXPECT_FALSE(stru.Load(loaded));
      EXPECT_EQ(loaded, Bytes(SETTINGS_SIZE, 0x5A));
    }
  }
}

TEST_F(CodeStruTest, TheFirstRecordByteAndTheKeyAreNotCovered) {
  TCodeStru stru(file_, SETTINGS_SIZE);
  const Bytes record = Pattern(SETTINGS_SIZE);
  stru.Save(record);
  const Bytes good = ReadFile();

  Bytes bad = good;
  bad[13] ^= 0x24;
  WriteFile(bad);
  Bytes loaded(SETTINGS_SIZE, 0);
  ASSERT_TRUE(stru.Load(loaded));
  Bytes expected = record;
  expected[0] ^= 0x24;
  EXPECT_EQ(loaded, expected);

  for (std::size_t k = 0; k < 13; ++k) {
    SCOPED_TRACE(k);
    bad = good;
    bad[k] ^= 0x42;
    WriteFile(bad);
    ASSERT_TRUE(stru.Load(loaded));
    for (std::size_t i = 0; i < SETTINGS_SIZE; ++i) {
      const bool touched = k == 12 || i % 12 == k;  // K[12] applies to every byte
      ASSERT_EQ(loaded[i], touched ? record[i] ^ 0x42 : record[i]) << i;
    }
  }
}

TEST_F(CodeStruTest, EmptyShortAndLongFiles) {
  Bytes record(SETTINGS_SIZE, 0x77);
  const Bytes defaults = record;
  {
    TCodeStru stru(file_, SETTINGS_SIZE);  // creates the file, empty
    ASSERT_TRUE(stru.Unique());
    EXPECT_TRUE(fs::exists(file_));
    EXPECT_EQ(fs::file_size(file_), 0u);
    EXPECT_EQ((fs::status(file_).permissions() & fs::perms::owner_write), fs::perms::owner_write);
    EXPECT_FALSE(stru.Load(record));
    EXPECT_EQ(record, defaults);
    stru.Save(Pattern(SETTINGS_SIZE));
  }
  const Bytes good = ReadFile();
  for (std::size_t size : {std::size_t{1}, std::size_t{12}, std::size_t{13}, good.size() - 1}) {
    SCOPED_TRACE(size);
    WriteFile(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)));
    TCodeStru stru(file_, SETTINGS_SIZE);
    EXPECT_FALSE(stru.Load(record));
    EXPECT_EQ(record, defaults);
  }
  // Bytes behind the record are ignored and survive a save: the file is never truncated.
  Bytes longer = good;
  longer.insert(longer.end(), 50, 0xEE);
  WriteFile(longer);
  TCodeStru stru(file_, SETTINGS_SIZE);
  ASSERT_TRUE(stru.Load(record));
  EXPECT_EQ(record, Pattern(SETTINGS_SIZE));
  stru.Save(defaults);
  const Bytes after = ReadFile();
  ASSERT_EQ(after.size(), longer.size());
  EXPECT_TRUE(std::all_of(after.end() - 50, after.end(), [](std::uint8_t b) { return b == 0xEE; }));
}

TEST_F(CodeStruTest, ASecondHolderInThisProcessIsNotUnique) {
  auto first = std::make_unique<TCodeStru>(file_, 4);
  ASSERT_TRUE(first->Unique());
  first->Save(Bytes{1, 2, 3, 4});
  {
    TCodeStru second(file_, 4);
    EXPECT_FALSE(second.Unique());
    Bytes record{9, 9, 9, 9};
    EXPECT_FALSE(second.Load(record));
    EXPECT_EQ(record, (Bytes{9, 9, 9, 9}));
    const Bytes before = ReadFile();
    second.Save(Bytes{5, 6, 7, 8});  // does nothing
    EXPECT_EQ(ReadFile(), before);
  }
  first.reset();  // closing releases the lock
  TCodeStru third(file_, 4);
  EXPECT_TRUE(third.Unique());
}

// The same in a second process: there is no fork on Windows; the end-to-end test under
// Wine starts a second kassirod.exe beside the first.
#ifndef _WIN32
// Exit status of a child process that tries to hold the file: 0 held, 1 refused.
int HoldInChild(const fs::path& file) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const TCodeStru stru(file, 4);
    ::_exit(stru.Unique() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(CodeStruTest, AnotherProcessCannotHoldTheFileWhileThisOneDoes) {
  {
    TCodeStru stru(file_, 4);
    ASSERT_TRUE(stru.Unique());
    EXPECT_EQ(HoldInChild(file_), 1);
  }
  EXPECT_EQ(HoldInChild(file_), 0);
}

#endif
TEST_F(CodeStruTest, AFileThatCannotBeOpenedIsNotUnique) {
  for (const fs::path& path : {dir_ / "missing" / "Kassiro.STG", dir_}) {
    SCOPED_TRACE(path.string());
    TCodeStru stru(path, 4);
    EXPECT_FALSE(stru.Unique());
    Bytes record{1, 2, 3, 4};
    EXPECT_FALSE(stru.Load(record));
    stru.Save(record);
    EXPECT_EQ(record, (Bytes{1, 2, 3, 4}));
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(CodeStruTest, SizesOutsideTheRecordAreRejected) {
  EXPECT_THROW(TCodeStru(file_, 0), std::invalid_argument);
  EXPECT_THROW(TCodeStru(file_, 32769), std::invalid_argument);
  TCodeStru stru(file_, 4);
  Bytes three(3);
  EXPECT_THROW(stru.Save(three), std::invalid_argument);
  EXPECT_THROW((void)stru.Load(three), std::invalid_argument);
  EXPECT_EQ(fs::file_size(file_), 0u);
}

}  // namespace
}  // namespace kassiro
