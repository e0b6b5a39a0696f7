// ecrbridge's parts in-process: the spool (order, acknowledgement, bounds, what a killed
// process leaves behind), the published JSON and the configuration.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Programs.h"
#include "TempDir.h"
#include "ecrbridge/Backoff.h"
#include "ecrbridge/BridgeConfig.h"
#include "ecrbridge/Charset.h"
#include "ecrbridge/ReportJson.h"
#include "ecrbridge/Spool.h"

namespace {

namespace fs = std::filesystem;
using namespace kassiro::bridge;
using kassiro::testing::ReadFile;
using kassiro::testing::TempDir;
using kassiro::testing::WaitUntil;
using kassiro::testing::WriteFile;

// ---------------------------------------------------------------- spool

// A spool that flushes only when told, so that every step comes in a known order.
std::unique_ptr<TSpool> OpenSpool(const fs::path& dir, std::uint64_t size = 1 << 20) {
  TSpool::TOptions options;
  options.MaxBytes = size;
  options.ManualFlush = true;
  auto opened = TSpool::Open(dir, std::move(options));
  if (auto* error = std::get_if<std::string>(&opened)) {
    ADD_FAILURE() << *error;
    return nullptr;
  }
  return std::move(std::get<std::unique_ptr<TSpool>>(opened));
}

// Reads every record from the cursor on: the payloads, and the end of the last one.
std::vector<std::string> ReadAll(TSpool& spool, TSpool::TPos* end = nullptr) {
  std::vector<std::string> out;
  TSpool::TPos pos = spool.Cursor();
  while (auto r = spool.Read(pos)) {
    out.push_back(r->Payload);
    pos = r->End;
  }
  if (end) *end = pos;
  return out;
}

// Acknowledges the first n records from the cursor.
void AckFirst(TSpool& spool, std::size_t n) {
  TSpool::TPos pos = spool.Cursor();
  for (std::size_t i = 0; i < n; ++i) pos = spool.Read(pos)->End;
  spool.Acknowledge(pos, n);
}

std::uint64_t SegmentFiles(const fs::path& dir) {
  std::uint64_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) n += e.path().extension() == ".seg";
  return n;
}

TEST(BridgeSpool, KeepsOrderAndGivesBackWhatTheBrokerDidNotAcknowledgeAfterAKill) {
  TempDir dir;
  {
    auto spool = OpenSpool(dir.path());
    for (const char* p : {"r1", "r2", "r3"}) ASSERT_EQ(spool->Append("t/" + std::string(p), p), TSpool::TAppend::Written);
    spool->Flush();
    TSpool::TPos pos = spool->Cursor();
    const auto first = spool->Read(pos);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Topic, "t/r1");
    EXPECT_EQ(first->Payload, "r1");
    EXPECT_EQ(ReadAll(*spool), (std::vector<std::string>{"r1", "r2", "r3"}));
    AckFirst(*spool, 2);
    EXPECT_EQ(spool->Pending(), 1u);
    // Gone without a word, as after kill -9: r3 was read, perhaps published, not acknowledged.
  }
  auto spool = OpenSpool(dir.path());
  EXPECT_EQ(spool->Pending(), 1u);
  EXPECT_EQ(ReadAll(*spool), (std::vector<std::string>{"r3"}));
  EXPECT_EQ(spool->Append("t", "r4"), TSpool::TAppend::Written);
  spool->Flush();
  EXPECT_EQ(ReadAll(*spool), (std::vector<std::string>{"r3", "r4"}));
  EXPECT_TRUE(spool->Repaired().empty()) << spool->Repaired();
}

TEST(BridgeSpool, EverythingAcknowledgedLeavesNoSegmentAndAFreshStart) {
  TempDir dir;
  {
    auto spool = OpenSpool(dir.path());
    for (int i = 0; i < 5; ++i) spool->Append("t", "r" + std::to_string(i));
    spool->Flush();
    AckFirst(*spool, 5);
    EXPECT_EQ(spool->Bytes(), 0u);
    EXPECT_EQ(SegmentFiles(dir.path()), 0u);
  }
  auto spool = OpenSpool(dir.path());
  EXPECT_EQ(spool->Pending(), 0u);
  EXPECT_TRUE(ReadAll(*spool).empty());
  spool->Append("t", "next");
  spool->Flush();
  EXPECT_EQ(ReadAll(*spool), (std::vector<std::string>{"next"}));
}

TEST(BridgeSpool, IsBoundedRefusesWhatDoesNotFitAndTakesMoreOnceAcknowledged) {
  TempDir dir;
  constexpr std::uint64_t size = TSpool::MIN_SIZE;
  auto spool = OpenSpool(dir.path(), size);
  const std::string payload(300, 'x');
  int stored = 0;
  while (spool->Append("kassiro/s/ecr/1/PLU_R", payload) == TSpool::TAppend::Written) ++stored;
  EXPECT_GT(stored, 40);
  EXPECT_LE(spool->Bytes(), size);
  std::uint64_t onDisk = 0;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().extension() == ".seg") onDisk += e.file_size();
  EXPECT_EQ(onDisk, spool->Bytes());
  EXPECT_EQ(spool->Append("t", payload), TSpool::TAppend::Full);
  EXPECT_EQ(spool->Pending(), static_cast<std::uint64_t>(stored));

  // The broker takes half: whole segments go and their room comes back.
  spool->Flush();
  AckFirst(*spool, static_cast<std::size_t>(stored / 2));
  EXPECT_LT(spool->Bytes(), size * 3 / 4);
  EXPECT_EQ(spool->Append("t", "after"), TSpool::TAppend::Written);
  spool->Flush();
  const auto rest = ReadAll(*spool);
  ASSERT_EQ(rest.size(), static_cast<std::size_t>(stored - stored / 2 + 1));
  EXPECT_EQ(rest.back(), "after");
}

TEST(BridgeSpool, ATornTailIsCutOffAndADamagedCursorPublishesEverythingAgain) {
  TempDir dir;
  {
    auto spool = OpenSpool(dir.path());
    spool->Append("t", "r1");
    spool->Append("t", "r2");
  }
  fs::path segment;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().extension() == ".seg") segment = e.path();
  const auto whole = fs::file_size(segment);
  {
    std::ofstream(segment, std::ios::binary | std::ios::app) << std::string("\x20\x00\x00\x00\x01\x02", 6);
  }
  {
    auto spool = OpenSpool(dir.path());
    EXPECT_NE(spool->Repaired().find("cut off"), std::string::npos) << spool->Repaired();
    EXPECT_EQ(fs::file_size(segment), whole);
    EXPECT_EQ(ReadAll(*spool), (std::vector<std::string>{"r1", "r2"}));
    AckFirst(*spool, 1);
    spool->Append("t", "r3");
  }
  std::string cursor = ReadFile(dir / "cursor");
  cursor[3] ^= 0x40;
  WriteFile(dir / "cursor", cursor);
  auto spool = OpenSpool(dir.path());
  EXPECT_NE(spool->Repaired().find("cursor"), std::string::npos) << spool->Repaired();
  EXPECT_EQ(ReadAll(*spool), (std::vector<std::string>{"r1", "r2", "r3"})) << "never less, perhaps more";
}

TEST(BridgeSpool, ASecondBridgeOnTheSameFolderIsRefused) {
  TempDir dir;
  auto first = OpenSpool(dir.path());
  auto second = TSpool::Open(dir.path(), 1 << 20);
  ASSERT_TRUE(std::holds_alternative<std::string>(second));
  EXPECT_NE(std::get<std::string>(second).find("in use by another ecrbridge"), std::string::npos);
}

TEST(BridgeSpool, SegmentsComeAndGoWhileTheBrokerKeepsUp) {
  TempDir dir;
  auto spool = OpenSpool(dir.path(), TSpool::MIN_SIZE);
  TSpool::TPos readPos = spool->Cursor();
  const std::string payload(200, 'y');
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(spool->Append("t", payload + std::to_string(i)), TSpool::TAppend::Written) << i;
    if (i % 3 == 2) {  // the broker acknowledges in batches of three
      spool->Flush();
      int n = 0;
      while (auto r = spool->Read(readPos)) {
        EXPECT_EQ(r->Payload, payload + std::to_string(i - 2 + n));
        readPos = r->End;
        ++n;
      }
      ASSERT_EQ(n, 3);
      spool->Acknowledge(readPos, 3);
    }
    EXPECT_LE(SegmentFiles(dir.path()), 2u);
  }
  EXPECT_EQ(spool->Pending(), 1u);
}

TEST(BridgeSpool, Crc32IsTheUsualOne) { EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u); }

// ---------------------------------------------------------------- spool: crashes

// What a child that runs the workload below reports on its pipe: record n stored (n > 0,
// Flush returned after its append), records up to n about to be acknowledged (-n).
std::vector<int> ReadEvents(int fd) {
  std::vector<int> events;
  int e = 0;
  while (::read(fd, &e, sizeof e) == static_cast<ssize_t>(sizeof e)) events.push_back(e);
  return events;
}

std::string RecordPayload(int n) { return "record " + std::to_string(n) + " " + std::string(150, 'p'); }

// Appends, flushes, reads and acknowledgements over small segments: rolls to new
// segments, acknowledges parts of segments, all of the spool (which drops the last
// segment) and across segments.
void Workload(TSpool& spool, int events) {
  const auto say = [&](int e) { [[maybe_unused]] const ssize_t n = ::write(events, &e, sizeof e); };
  int next = 1;
  TSpool::TPos readPos = spool.Cursor();
  int read = 0;
  for (int round = 0; round < 14; ++round) {
    const int count = 1 + round * 5 % 11;
    for (int i = 0; i < count; ++i, ++next) spool.Append("kassiro/s/ecr/1/PLU_R", RecordPayload(next));
    spool.Flush();
    say(next - 1);
    // Acknowledged: everything in every third round, else all but the last two.
    const int upTo = round % 3 == 0 ? next - 1 : next - 3;
    std::uint64_t records = 0;
    while (read < upTo) {
      const auto r = spool.Read(readPos);
      if (!r) break;
      readPos = r->End;
      ++read;
      ++records;
    }
    if (records > 0) {
      say(-read);
      spool.Acknowledge(readPos, records);
    }
  }
}

TSpool::TOptions CrashOptions() {
  TSpool::TOptions options;
  options.MaxBytes = TSpool::MIN_SIZE;  // segments of 4 KiB: some 25 records
  options.ManualFlush = true;
  return options;
}

TEST(BridgeSpool, AProcessKilledBeforeAnyOfItsWritesLosesNoStoredReportAndReadsNoGarbage) {
  int cuts = 0;
  for (int cut = 1;; ++cut) {
    TempDir dir;
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipeFds[0]);
      int steps = 0;
      auto options = CrashOptions();
      options.BeforeWrite = [&](std::string_view) {
        if (++steps == cut) ::_exit(0);  // as kill -9 there: what was written stays, nothing else runs
      };
      auto opened = TSpool::Open(dir.path(), std::move(options));
      if (!std::holds_alternative<std::unique_ptr<TSpool>>(opened)) ::_exit(2);
      Workload(*std::get<std::unique_ptr<TSpool>>(opened), pipeFds[1]);
      ::_exit(1);  // the workload ended before the cut: every point was tried
    }
    ::close(pipeFds[1]);
    const std::vector<int> events = ReadEvents(pipeFds[0]);
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "the spool did not open";
    if (WEXITSTATUS(status) == 1) break;
    ++cuts;

    int stored = 0, acknowledged = 0;
    for (const int e : events) (e > 0 ? stored : acknowledged) = std::abs(e);
    auto spool = OpenSpool(dir.path(), TSpool::MIN_SIZE);
    ASSERT_TRUE(spool);
    EXPECT_TRUE(spool->Repaired().empty()) << "cut " << cut << ": " << spool->Repaired();
    // A new report after the restart is read after what was left, not lost behind it.
    spool->Append("kassiro/s/ecr/1/PLU_R", RecordPayload(1000));
    spool->Flush();
    std::vector<int> numbers;
    for (const std::string& payload : ReadAll(*spool)) {
      ASSERT_EQ(payload.substr(0, 7), "record ") << "cut " << cut;
      ASSERT_EQ(payload, RecordPayload(std::stoi(payload.substr(7)))) << "cut " << cut;
      numbers.push_back(std::stoi(payload.substr(7)));
    }
    ASSERT_FALSE(numbers.empty());
    ASSERT_EQ(numbers.back(), 1000) << "cut " << cut;
    numbers.pop_back();
    // In order, none twice, none missing: from at most the first not acknowledged
    // (an acknowledged one may come again) to at least the last stored one (a record
    // whose append was cut may be there too).
    for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "cut " << cut;
    if (stored > acknowledged) {
      ASSERT_FALSE(numbers.empty()) << "cut " << cut << ": records " << acknowledged + 1 << ".." << stored << " lost";
      EXPECT_LE(numbers.front(), acknowledged + 1) << "cut " << cut;
      EXPECT_GE(numbers.back(), stored) << "cut " << cut;
    }
  }
  EXPECT_GT(cuts, 100) << "the workload passes every kind of write many times";
}

// ---------------------------------------------------------------- spool: damage

// Twenty records of some 330 bytes in a spool of 4 KiB segments: two segments.
struct TDamagedSpool {
  TempDir Dir;
  std::vector<std::uint64_t> Starts;  // each record's offset in its segment
  fs::path First = Dir / "000000000001.seg";

  TDamagedSpool() {
    auto spool = OpenSpool(Dir.path(), TSpool::MIN_SIZE);
    for (int i = 0; i < 20; ++i) {
      Starts.push_back(spool->Bytes());
      spool->Append("t", "r" + std::to_string(i) + std::string(300, '.'));
    }
  }
  static std::vector<std::string> Short(const std::vector<std::string>& payloads) {
    std::vector<std::string> out;
    for (const auto& p : payloads) out.push_back(p.substr(0, p.find('.')));
    return out;
  }
  static std::vector<std::string> AllBut(int missing) {
    std::vector<std::string> out;
    for (int i = 0; i < 20; ++i)
      if (i != missing) out.push_back("r" + std::to_string(i));
    return out;
  }
  void Patch(std::uint64_t at, const std::string& bytes) {
    std::string data = ReadFile(First);
    data.replace(at, bytes.size(), bytes);
    WriteFile(First, data);
  }
};

TEST(BridgeSpool, ADamagedRecordIsSkippedAndEveryIntactOneAfterItKept) {
  const std::vector<std::pair<std::string, std::function<void(TDamagedSpool&)>>> cases = {
      {"a flipped byte", [](TDamagedSpool& d) { d.Patch(d.Starts[4] + 20, "\x7f"); }},
      {"a length far too big", [](TDamagedSpool& d) { d.Patch(d.Starts[4], std::string("\xff\xff\x0f\x00", 4)); }},
      {"a length a little short", [](TDamagedSpool& d) { d.Patch(d.Starts[4], std::string("\x10\x01\x00\x00", 4)); }},
      {"zeros", [](TDamagedSpool& d) { d.Patch(d.Starts[4], std::string(40, '\0')); }},
  };
  for (const auto& [name, damage] : cases) {
    TDamagedSpool d;
    ASSERT_GT(fs::file_size(d.First), d.Starts[6]) << "record 6 is in the first segment";
    damage(d);
    auto spool = OpenSpool(d.Dir.path(), TSpool::MIN_SIZE);
    EXPECT_NE(spool->Repaired().find("000000000001.seg: bytes " + std::to_string(d.Starts[4]) + " to " +
                                     std::to_string(d.Starts[5]) + " damaged, skipped"),
              std::string::npos)
        << name << ": " << spool->Repaired();
    EXPECT_EQ(TDamagedSpool::Short(ReadAll(*spool)), TDamagedSpool::AllBut(4)) << name;
    EXPECT_EQ(spool->Pending(), 19u) << name;
  }
}

TEST(BridgeSpool, ACursorInsideARecordGoesBackToTheRecordsStart) {
  TDamagedSpool d;
  {
    auto spool = OpenSpool(d.Dir.path(), TSpool::MIN_SIZE);
    spool->Flush();
    AckFirst(*spool, 3);
  }
  // The cursor, whole and checked, says five bytes into record 3.
  std::string cursor(20, '\0');
  const std::uint64_t inside = d.Starts[3] + 5;
  cursor[0] = 1;
  for (int i = 0; i < 8; ++i) cursor[8 + i] = static_cast<char>((inside >> (8 * i)) & 0xFF);
  const std::uint32_t crc = Crc32(cursor.data(), 16);
  for (int i = 0; i < 4; ++i) cursor[16 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  WriteFile(d.Dir / "cursor", cursor);

  auto spool = OpenSpool(d.Dir.path(), TSpool::MIN_SIZE);
  EXPECT_NE(spool->Repaired().find("the cursor pointed into a record"), std::string::npos) << spool->Repaired();
  const auto rest = TDamagedSpool::Short(ReadAll(*spool));
  ASSERT_EQ(rest.size(), 17u);
  EXPECT_EQ(rest.front(), "r3");
  EXPECT_EQ(rest.back(), "r19");
}

TEST(BridgeSpool, DamageThatComesWhileTheBridgeRunsIsFoundByTheReadAndSaidOnce) {
  TDamagedSpool d;
  std::vector<std::string> said;
  TSpool::TOptions options;
  options.MaxBytes = TSpool::MIN_SIZE;
  options.ManualFlush = true;
  options.OnDamage = [&](const std::string& what) { said.push_back(what); };
  auto opened = TSpool::Open(d.Dir.path(), std::move(options));
  auto& spool = *std::get<std::unique_ptr<TSpool>>(opened);
  d.Patch(d.Starts[7] + 100, "#");
  EXPECT_EQ(TDamagedSpool::Short(ReadAll(spool)), TDamagedSpool::AllBut(7));
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0], "000000000001.seg: bytes " + std::to_string(d.Starts[7]) + " to " + std::to_string(d.Starts[8]) +
                         " damaged, skipped");
  // Read again from the cursor, as after a new connection to the broker: not said again.
  EXPECT_EQ(TDamagedSpool::Short(ReadAll(spool)), TDamagedSpool::AllBut(7));
  EXPECT_EQ(said.size(), 1u);

  // The last record is damaged: nothing intact after it until the next report comes.
  const fs::path second = d.Dir / "000000000002.seg";
  std::string data = ReadFile(second);
  data[data.size() - 10] ^= 0x01;
  WriteFile(second, data);
  auto expected = TDamagedSpool::AllBut(7);
  expected.pop_back();
  EXPECT_EQ(TDamagedSpool::Short(ReadAll(spool)), expected);
  EXPECT_EQ(said.size(), 2u);
  spool.Append("t", "r20" + std::string(300, '.'));
  spool.Flush();
  expected.push_back("r20");
  EXPECT_EQ(TDamagedSpool::Short(ReadAll(spool)), expected);
  EXPECT_EQ(said.size(), 2u);
}

TEST(BridgeSpool, ASegmentThatCannotBeWrittenIsLeftForANewOne) {
  TempDir dir;
  std::vector<std::string> said;
  TSpool::TOptions options;
  options.ManualFlush = true;
  options.OnDamage = [&](const std::string& what) { said.push_back(what); };
  auto opened = TSpool::Open(dir.path(), std::move(options));
  auto& spool = *std::get<std::unique_ptr<TSpool>>(opened);

  // Everything acknowledged: the next report goes to segment 2, which is a folder.
  spool.Append("t", "r1");
  spool.Flush();
  AckFirst(spool, 1);
  fs::create_directory(dir / "000000000002.seg");
  ASSERT_EQ(spool.Append("t", "r2"), TSpool::TAppend::Written);
  spool.Flush();
  EXPECT_EQ(ReadAll(spool), (std::vector<std::string>{"r2"}));
  AckFirst(spool, 1);

  // The segment being written (4) is replaced by a folder before it is read: what was in
  // it is lost, and said; what comes after goes into a new segment.
  spool.Append("t", "r3");
  spool.Flush();
  const fs::path written = dir / "000000000004.seg";
  ASSERT_TRUE(fs::is_regular_file(written));
  fs::remove(written);
  fs::create_directory(written);
  ASSERT_EQ(spool.Append("t", "r4"), TSpool::TAppend::Written);
  spool.Flush();
  EXPECT_EQ(ReadAll(spool), (std::vector<std::string>{"r4"}));
  ASSERT_EQ(said.size(), 1u);
  EXPECT_TRUE(said[0].starts_with("000000000004.seg: ")) << said[0];

  // A new start leaves the folders alone and reads on.
  AckFirst(spool, 1);
  spool.Append("t", "r5");
  opened = std::string("closed");
  auto reopened = OpenSpool(dir.path());
  ASSERT_TRUE(reopened);
  EXPECT_NE(reopened->Repaired().find("is not a file"), std::string::npos) << reopened->Repaired();
  reopened->Append("t", "r6");
  reopened->Flush();
  EXPECT_EQ(ReadAll(*reopened), (std::vector<std::string>{"r5", "r6"}));
}

// ---------------------------------------------------------------- spool: flushing

TEST(BridgeSpool, ARecordIsReadOnlyOnceFlushedAndFlushesComeInGroups) {
  TempDir dir;
  std::atomic<int> groups = 0;
  std::vector<std::string> steps;
  {
    auto spool = OpenSpool(dir / "manual");
    spool->OnStored([&] { ++groups; });
    spool->Append("t", "r1");
    spool->Append("t", "r2");
    EXPECT_TRUE(ReadAll(*spool).empty()) << "written, not yet on disk";
    spool->Flush();
    EXPECT_EQ(groups, 1);
    EXPECT_EQ(ReadAll(*spool), (std::vector<std::string>{"r1", "r2"}));
    spool->Flush();
    EXPECT_EQ(groups, 1) << "nothing new to flush";
  }

  // The spool's own thread: a lone record is flushed at once; a stream in groups, at
  // most one flush per interval.
  groups = 0;
  TSpool::TOptions options;
  options.FlushInterval = std::chrono::milliseconds(100);
  auto opened = TSpool::Open(dir / "thread", std::move(options));
  auto& spool = *std::get<std::unique_ptr<TSpool>>(opened);
  spool.OnStored([&] { ++groups; });
  spool.Append("t", "lone");
  ASSERT_TRUE(WaitUntil([&] { return groups == 1; }));
  EXPECT_EQ(ReadAll(spool), (std::vector<std::string>{"lone"}));
  const auto start = std::chrono::steady_clock::now();
  int appended = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(350)) {
    spool.Append("t", "s");
    ++appended;
  }
  ASSERT_TRUE(WaitUntil([&] { return ReadAll(spool).size() == static_cast<std::size_t>(appended + 1); }));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LE(groups, 2 + elapsed / std::chrono::milliseconds(100)) << appended << " records";

  // Without flushing a record is read as soon as it is written.
  TSpool::TOptions never;
  never.FlushInterval = std::chrono::milliseconds(0);
  auto unflushed = TSpool::Open(dir / "never", std::move(never));
  auto& fast = *std::get<std::unique_ptr<TSpool>>(unflushed);
  fast.Append("t", "at once");
  EXPECT_EQ(ReadAll(fast), (std::vector<std::string>{"at once"}));
}

// ---------------------------------------------------------------- JSON

const auto At = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796912585123));  // 2026-12-10T14:23:05.123Z

TEST(BridgeJson, AReportBecomesOneObjectUnderItsTopic) {
  const auto charset = TCharset::Named("CP1251");
  ASSERT_TRUE(charset);
  const TReport r = ReadReport(3, 0x80, "123456;4;A;B;7;120;", *charset, At);
  EXPECT_EQ(ReportTopic("shop-12", r), "kassiro/shop-12/ecr/3/PLU_R");
  EXPECT_EQ(ReportJson("shop-12", r),
            R"({"shop":"shop-12","ecr":3,"serial":"123456","event":"PLU_R","code":128,"block":4,)"
            R"("fields":["A","B"],"line":7,"receipt":120,"received":"2026-12-10T14:23:05.123Z"})");
  EXPECT_EQ(StateTopic("shop-12"), "kassiro/shop-12/bridge/state");
}

TEST(BridgeJson, FieldsTextsAndNumbersInEveryShape) {
  const auto charset = TCharset::Named("CP1251");
  ASSERT_TRUE(charset);
  struct TCase {
    std::uint8_t code;
    std::string text;
    std::string expected;  // the JSON from "serial" to "receipt"
  };
  const TCase cases[] = {
      // A receipt: empty fields stay, amounts stay decimal strings as the ECR wrote them.
      {0x8B, "000123;2;0;X;;10.00;;0.50;8;91;",
       R"("serial":"000123","event":"TSM_R","code":139,"block":2,"fields":["0","X","","10.00","","0.50"],"line":8,"receipt":91)"},
      // Cyrillic in CP1251, a quote, a backslash and a control byte.
      {0x80, "1;0;\xC0\xE1;\"q\"\\\x01;5;6;",
       "\"serial\":\"1\",\"event\":\"PLU_R\",\"code\":128,\"block\":0,\"fields\":[\"\xD0\x90\xD0\xB1\",\"\\\"q\\\"\\\\\\u0001\"],\"line\":5,\"receipt\":6"},
      // Cut short by the message's size limit: the numbers are lost, the rest stays.
      {0x80, "1;0;A;B;7;12", R"("serial":"1","event":"PLU_R","code":128,"block":0,"fields":["A","B","7","12"],"line":null,"receipt":null)"},
      // No data fields; a block number that is no number.
      {0x86, "9;x;3;4;", R"("serial":"9","event":"PER_R","code":134,"block":null,"fields":[],"line":3,"receipt":4)"},
      // Nothing at all.
      {0x80, "", R"("serial":"","event":"PLU_R","code":128,"block":null,"fields":[],"line":null,"receipt":null)"},
  };
  for (const auto& c : cases) {
    const std::string json = ReportJson("s", ReadReport(1, c.code, c.text, *charset, At));
    EXPECT_NE(json.find(c.expected), std::string::npos) << c.text << "\n" << json;
  }
}

TEST(BridgeJson, OnlyReportsOfTheReportSetArePublished) {
  EXPECT_TRUE(IsReport(1, 0x80));
  EXPECT_TRUE(IsReport(1, 0x8F));
  EXPECT_FALSE(IsReport(1, 0x81)) << "a query";
  EXPECT_FALSE(IsReport(1, 0x90)) << "a query";
  EXPECT_FALSE(IsReport(1, 4)) << "an answer's copy";
  EXPECT_FALSE(IsReport(9, 0x80)) << "KPQ, a query of another set";
  EXPECT_FALSE(IsReport(2, 0x80));
}

// ---------------------------------------------------------------- configuration

TCommandLine Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "ecrbridge");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), "/opt/kassiro");
}

TEST(BridgeConfig, DefaultsAndEveryOption) {
  const auto d = Parse({"--shop", "s1", "--ecr", "3"});
  ASSERT_TRUE(d.Config) << d.Err;
  EXPECT_EQ(d.Config->ServerHost, "127.0.0.1");
  EXPECT_EQ(d.Config->ServerPort, 4999);
  EXPECT_FALSE(d.Config->MainSet);
  EXPECT_EQ(d.Config->Broker.Host, "127.0.0.1");
  EXPECT_EQ(d.Config->Broker.Port, 1883);
  EXPECT_FALSE(d.Config->Broker.Tls);
  EXPECT_EQ(d.Config->ClientId, "kassiro-bridge-s1");
  EXPECT_EQ(d.Config->SpoolDir, fs::path("/opt/kassiro/ecrbridge.spool"));
  EXPECT_EQ(d.Config->SpoolSize, 64u << 20);

  const auto c = Parse({"--shop", "s1", "--ecr", "1-3,7", "--ecr", "5", "--set", "main", "--server", "10.0.0.2:5000",
                        "--broker", "mqtts://hq.example.com", "--username", "u", "--password", "p",
                        "--spool-size", "512K", "--spool-dir", "/var/lib/x", "--retry-min", "100"});
  ASSERT_TRUE(c.Config) << c.Err;
  EXPECT_EQ(c.Config->Ecrs, (std::vector<std::uint8_t>{1, 2, 3, 5, 7}));
  EXPECT_TRUE(c.Config->MainSet);
  EXPECT_EQ(c.Config->ServerHost, "10.0.0.2");
  EXPECT_EQ(c.Config->ServerPort, 5000);
  EXPECT_TRUE(c.Config->Broker.Tls);
  EXPECT_EQ(c.Config->Broker.Host, "hq.example.com");
  EXPECT_EQ(c.Config->Broker.Port, 8883);
  EXPECT_EQ(c.Config->TlsCaPath, "/etc/ssl/certs") << "mqtts checks the broker against the system's CAs";
  EXPECT_EQ(c.Config->SpoolSize, 512u << 10);
  EXPECT_EQ(c.Config->SpoolDir, fs::path("/var/lib/x"));
  EXPECT_EQ(c.Config->RetryMin, std::chrono::milliseconds(100));
}

TEST(BridgeConfig, AConfigFileHoldsTheSameNamesAndTheCommandLineWins) {
  TempDir dir;
  WriteFile(dir / "bridge.conf",
            "# shop 12\nshop = shop-12\necr = 1-4,7\nserver = 192.168.1.10:4999\nbroker = mqtt://hq:1884\n"
            "set = main\nusername = shop12\npassword = \"s3cret\"\n");
  const auto c = Parse({"--config", (dir / "bridge.conf").string(), "--server", "127.0.0.1:4000"});
  ASSERT_TRUE(c.Config) << c.Err;
  EXPECT_EQ(c.Config->Shop, "shop-12");
  EXPECT_EQ(c.Config->Ecrs, (std::vector<std::uint8_t>{1, 2, 3, 4, 7}));
  EXPECT_EQ(c.Config->ServerPort, 4000);
  EXPECT_EQ(c.Config->Broker.Host, "hq");
  EXPECT_EQ(c.Config->Broker.Port, 1884);
  EXPECT_TRUE(c.Config->MainSet);
  EXPECT_EQ(c.Config->Password, "s3cret");
}

TEST(BridgeConfig, MistakesAreNamedAndEndWithTwo) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--ecr", "3"}, "no shop id"},
      {{"--shop", "a/b", "--ecr", "3"}, "--shop 'a/b'"},
      {{"--shop", "s"}, "no ECR given"},
      {{"--shop", "s", "--ecr", "0"}, "--ecr '0': ECR numbers are 1..99"},
      {{"--shop", "s", "--ecr", "5-2"}, "--ecr '5-2'"},
      {{"--shop", "s", "--ecr", "x"}, "--ecr 'x'"},
      {{"--shop", "s", "--ecr", "1", "--server", "h:99999"}, "--server 'h:99999'"},
      {{"--shop", "s", "--ecr", "1", "--broker", "http://h"}, "the scheme is mqtt:// or mqtts://"},
      {{"--shop", "s", "--ecr", "1", "--broker", "mqtt://u:p@h"}, "credentials go in --username"},
      {{"--shop", "s", "--ecr", "1", "--set", "both"}, "--set"},
      {{"--shop", "s", "--ecr", "1", "--spool-size", "1K"}, "at least 16K"},
      {{"--shop", "s", "--ecr", "1", "--charset", "NO-SUCH-CODEPAGE"}, "--charset"},
      {{"--shop", "s", "--ecr", "1", "--tls-cert", "/etc/hostname"}, "--tls-cert and --tls-key go together"},
      {{"--shop", "s", "--ecr", "1", "--tls-ca-file", "/no/such/ca.pem"}, "cannot read '/no/such/ca.pem'"},
      {{"--shop", "s", "--ecr", "1", "--password", "p"}, "--password needs --username"},
      {{"--shop", "s", "--ecr", "1", "--retry-min", "5000", "--retry-max", "100"}, "--retry-min"},
      {{"--shop", "s", "--ecr", "1", "--frobnicate"}, "--frobnicate"},
      {{"--config", "/no/such/bridge.conf"}, "/no/such/bridge.conf"},
  };
  for (const auto& [args, error] : cases) {
    const auto r = Parse(args);
    EXPECT_FALSE(r.Config) << error;
    EXPECT_EQ(r.Exit, 2) << error;
    EXPECT_TRUE(r.Err.starts_with("ecrbridge: ")) << r.Err;
    EXPECT_NE(r.Err.find(error), std::string::npos) << r.Err;
  }
}

TEST(BridgeConfig, AMistakeInTheConfigFileIsRefusedWithItsFileLineAndName) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"shop = s1\necr = 3\ncolour = red\n", "line 3: unknown name 'colour'"},
      {"# head office\n\nshop = s1\nbrokr = mqtt://hq\necr = 3\n", "line 4: unknown name 'brokr'"},
      {"shop = s1\necr 3\n", "line 2: 'ecr 3' is not name = value"},
      {"shop = s1\nx\n", "line 2: 'x' is not name = value"},
      {"[bridge]\nshop = s1\necr = 3\n", "line 1: '[bridge]': there are no sections"},
      {"shop = s1\necr = 3\nconfig = other.conf\n", "line 3: unknown name 'config'"},
  };
  const fs::path file = dir / "bridge.conf";
  for (const auto& [text, error] : cases) {
    WriteFile(file, text);
    const auto r = Parse({"--config", file.string()});
    EXPECT_FALSE(r.Config) << text;
    EXPECT_EQ(r.Exit, 2) << text;
    EXPECT_TRUE(r.Err.starts_with("ecrbridge: " + file.string() + " " + error)) << r.Err;
  }
  // Comments, blank lines and the flush interval are taken.
  WriteFile(file, "; comment\n\n  shop = s1  # the shop\necr = 3\nspool-flush = 250\n");
  const auto r = Parse({"--config", file.string()});
  ASSERT_TRUE(r.Config) << r.Err;
  EXPECT_EQ(r.Config->SpoolFlush, std::chrono::milliseconds(250));
  EXPECT_EQ(Parse({"--config", file.string(), "--spool-flush", "20000"}).Exit, 2);
}

TEST(BridgeBackoff, DoublesUpToTheMostAndDrawsEachWaitInItsUpperHalf) {
  using std::chrono::milliseconds;
  TBackoff a(milliseconds(500), milliseconds(30000), 1);
  const long steps[] = {500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000};
  std::vector<long> drawn;
  for (const long step : steps) {
    const long wait = a.Next().count();
    EXPECT_GE(wait, step / 2);
    EXPECT_LE(wait, step);
    drawn.push_back(wait);
  }
  a.Reset();
  EXPECT_LE(a.Next(), milliseconds(500));
  // Two shops that lost the broker at the same moment come back at different times.
  TBackoff b(milliseconds(500), milliseconds(30000), 2);
  std::vector<long> other;
  for (std::size_t i = 0; i < std::size(steps); ++i) other.push_back(b.Next().count());
  EXPECT_NE(drawn, other);
  TBackoff tiny(milliseconds(1), milliseconds(1), 3);
  EXPECT_EQ(tiny.Next(), milliseconds(1));
}

TEST(BridgeConfig, HelpAndVersionGoToStdout) {
  const auto help = Parse({"--help"});
  EXPECT_EQ(help.Exit, 0);
  EXPECT_FALSE(help.Config);
  EXPECT_NE(help.Out.find("--spool-size"), std::string::npos);
  const auto version = Parse({"--version"});
  EXPECT_EQ(version.Exit, 0);
  EXPECT_EQ(version.Out, VersionText() + "\n");
  EXPECT_TRUE(version.Out.starts_with("ecrbridge 0.")) << version.Out;
}

}  // namespace
