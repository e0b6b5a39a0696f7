#include "core/ReportJournal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"

namespace kassiro {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::unique_ptr<TReportJournal> OpenJournal(const fs::path& dir, std::vector<std::string>* log = nullptr,
                                            std::uint64_t segmentBytes = 8ull << 20,
                                            std::uint64_t maxBytes = 1ull << 30, int days = 31) {
  TReportJournal::TOptions o;
  o.Dir = dir;
  o.Days = days;
  o.SegmentBytes = segmentBytes;
  o.MaxBytes = maxBytes;
  o.FlushInterval = std::chrono::milliseconds(0);
  if (log) o.Log = [log](const std::string& line) { log->push_back(line); };
  auto opened = TReportJournal::Open(std::move(o));
  if (auto* e = std::get_if<std::string>(&opened)) ADD_FAILURE() << *e;
  return std::move(std::get<std::unique_ptr<TReportJournal>>(opened));
}

std::string Message(int n) { return std::string("\x01\x81\x00\x03\x00", 5) + "PLU;" + std::to_string(n) + ";"; }

// Appends count reports, each settled on its own so each batch is one write.
std::vector<std::uint64_t> AppendSettled(TReportJournal& j, int count, int firstText = 1) {
  std::vector<std::uint64_t> seqs;
  for (int i = 0; i < count; ++i) {
    seqs.push_back(j.Append(3, 0x81, Message(firstText + i)));
    j.Settle();
  }
  return seqs;
}

struct TRead {
  std::vector<TJournalRecord> Records;
  std::vector<std::string> Problems;
  std::vector<std::uint64_t> Seqs() const {
    std::vector<std::uint64_t> s;
    for (const auto& r : Records) s.push_back(r.Seq);
    return s;
  }
};

TRead ReadAll(const fs::path& dir, std::uint64_t from = 1) {
  TRead out;
  TJournalReader reader(dir, from, [&out](const std::string& p) { out.Problems.push_back(p); });
  while (auto r = reader.Next()) out.Records.push_back(std::move(*r));
  return out;
}

std::vector<fs::path> SegmentFiles(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".krj") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint64_t> Range(std::uint64_t from, std::uint64_t to) {
  std::vector<std::uint64_t> v;
  for (auto i = from; i <= to; ++i) v.push_back(i);
  return v;
}

TEST(ReportJournal, RecordsComeBackExactlyAndInOrder) {
  TempDir tmp;
  const fs::path dir = tmp / "k.journal";
  {
    auto j = OpenJournal(dir);
    EXPECT_EQ(AppendSettled(*j, 3), Range(1, 3));
    const std::string withBinary = std::string("\x01\x82\x00\x03\x00", 5) + std::string("a\0\xff;", 4);
    j->Append(3, 0x82, withBinary);
    j->Settle();
    const auto s = j->State();
    EXPECT_EQ(s.First, 1u);
    EXPECT_EQ(s.Last, 4u);
    EXPECT_GT(s.Bytes, 0u);
  }
  const TRead read = ReadAll(dir);
  EXPECT_TRUE(read.Problems.empty());
  ASSERT_EQ(read.Seqs(), Range(1, 4));
  EXPECT_EQ(read.Records[0].Message, Message(1));
  EXPECT_EQ(read.Records[3].Message.substr(5), std::string("a\0\xff;", 4));
  EXPECT_EQ(read.Records[3].Ecr, 3);
  EXPECT_EQ(read.Records[3].Event, 0x82);
  EXPECT_EQ(ReadAll(dir, 3).Seqs(), Range(3, 4));
  // Only the owner and the group may read it.
  EXPECT_EQ(fs::status(dir).permissions() & fs::perms::others_all, fs::perms::none);
  for (const auto& seg : SegmentFiles(dir))
    EXPECT_EQ(fs::status(seg).permissions() & fs::perms::others_all, fs::perms::none);
}

// Whatever the last run left, the next number is past every number it may have given.
TEST(ReportJournal, NumbersNeverRepeatAcrossRestartsWhateverTheTailLooksLike) {
  struct TCase {
    const char* Name;
    void (*Spoil)(const fs::path& lastSegment);
  };
  const TCase cases[] = {
      {"intact", [](const fs::path&) {}},
      {"torn last record", [](const fs::path& s) { fs::resize_file(s, fs::file_size(s) - 3); }},
      {"last segment emptied", [](const fs::path& s) { fs::resize_file(s, 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir tmp;
    const fs::path dir = tmp / "k.journal";
    { AppendSettled(*OpenJournal(dir), 5); }
    { AppendSettled(*OpenJournal(dir), 2); }  // a second segment, from 6
    c.Spoil(SegmentFiles(dir).back());
    auto j = OpenJournal(dir);
    const std::uint64_t next = j->Append(3, 0x81, Message(99));
    j->Settle();
    EXPECT_GE(next, 7u);
    EXPECT_LE(next, 8u);
    const auto seqs = ReadAll(dir).Seqs();
    EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()));
    EXPECT_EQ(std::adjacent_find(seqs.begin(), seqs.end()), seqs.end());
  }
}

TEST(ReportJournal, DamageTruncationAndAMissingSegmentAreSkippedAndSaid) {
  TempDir tmp;
  const fs::path dir = tmp / "k.journal";
  for (int run = 0; run < 3; ++run) AppendSettled(*OpenJournal(dir), 4, run * 4 + 1);  // segments 1, 5, 9
  const auto segs = SegmentFiles(dir);
  ASSERT_EQ(segs.size(), 3u);
  const auto recordSize = fs::file_size(segs[0]) / 4;
  {  // a byte of record 2's text
    std::fstream f(segs[0], std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(recordSize + recordSize - 2));
    f.put('#');
  }
  fs::resize_file(segs[1], recordSize * 2 + 5);  // records 7 and 8 cut off
  const TRead before = ReadAll(dir);
  EXPECT_EQ(before.Seqs(), (std::vector<std::uint64_t>{1, 3, 4, 5, 6, 9, 10, 11, 12}));
  fs::remove(segs[1]);  // records 5 to 8 gone
  const TRead after = ReadAll(dir);
  EXPECT_EQ(after.Seqs(), (std::vector<std::uint64_t>{1, 3, 4, 9, 10, 11, 12}));

  auto said = [](const TRead& r, const std::string& what) {
    for (const auto& p : r.Problems)
      if (p.find(what) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(said(before, "damaged")) << ::testing::PrintToString(before.Problems);
  EXPECT_TRUE(said(before, "records 2 are missing") || said(before, "records 2 to")) << ::testing::PrintToString(before.Problems);
  EXPECT_TRUE(said(before, "records 7 to 8 are missing")) << ::testing::PrintToString(before.Problems);
  EXPECT_TRUE(said(after, "records 5 to 8 are missing")) << ::testing::PrintToString(after.Problems);
  // The writer goes on after all that.
  auto j = OpenJournal(dir);
  EXPECT_EQ(j->Append(3, 0x81, Message(13)), 13u);
}

TEST(ReportJournal, PrunesTheOldestBySizeAndAgeAndAReaderBehindIsToldTheGap) {
  TempDir tmp;
  const fs::path dir = tmp / "k.journal";
  const auto recordSize = EncodeJournalRecord({1, 0, 3, 0x81, Message(1)}).size();
  std::vector<std::string> log;
  {
    // A segment holds two records; the journal at most five segments' worth.
    auto j = OpenJournal(dir, &log, recordSize * 2 - 1, recordSize * 2 * 5);
    AppendSettled(*j, 20);
  }
  // Pruning is checked on the first flush of each minute: a new run does it at once.
  for (const auto& seg : SegmentFiles(dir)) fs::last_write_time(seg, fs::file_time_type::clock::now() - std::chrono::hours(24 * 40));
  const auto before = SegmentFiles(dir).size();
  {
    auto j = OpenJournal(dir, &log, recordSize * 2 - 1, recordSize * 2 * 5, 31);
    AppendSettled(*j, 1, 21);
    EXPECT_EQ(j->State().Last, 21u);
    EXPECT_EQ(j->State().First, 21u);  // everything older than 31 days went
  }
  EXPECT_GT(before, 1u);
  EXPECT_EQ(SegmentFiles(dir).size(), 1u);
  bool saidOld = false, saidSize = false;
  for (const auto& l : log) {
    saidOld = saidOld || l.find("older than 31 days") != std::string::npos;
    saidSize = saidSize || l.find("over") != std::string::npos;
  }
  EXPECT_TRUE(saidOld) << ::testing::PrintToString(log);
  EXPECT_TRUE(saidSize) << ::testing::PrintToString(log);
  const TRead read = ReadAll(dir, 4);
  EXPECT_EQ(read.Seqs(), std::vector<std::uint64_t>{21});
  ASSERT_EQ(read.Problems.size(), 1u);
  EXPECT_NE(read.Problems[0].find("records 4 to 20 are missing"), std::string::npos) << read.Problems[0];
}

TEST(ReportJournal, AReaderGetsOnlyWhatTheWriterSaysIsOnDiskAndFollowsItsGrowth) {
  TempDir tmp;
  const fs::path dir = tmp / "k.journal";
  auto j = OpenJournal(dir);
  AppendSettled(*j, 2);
  std::vector<std::string> problems;
  TJournalReader reader(dir, 1, [&](const std::string& p) { problems.push_back(p); });
  EXPECT_EQ(reader.Next()->Seq, 1u);
  EXPECT_EQ(reader.Next()->Seq, 2u);
  EXPECT_FALSE(reader.Next());
  // A record written but not yet said to be stored stays unread.
  const auto seg = SegmentFiles(dir).back();
  {
    std::ofstream f(seg, std::ios::app | std::ios::binary);
    f << EncodeJournalRecord({3, 0, 3, 0x81, Message(3)});
  }
  EXPECT_FALSE(reader.Next());
  // The writer's own third record (its number 3 as well) arrives once stored; the
  // stray copy written by hand is then the one read first, with the same number.
  AppendSettled(*j, 1, 3);
  const auto third = reader.Next();
  ASSERT_TRUE(third);
  EXPECT_EQ(third->Seq, 3u);
  EXPECT_FALSE(reader.Next());  // the writer's copy of 3 is not given twice
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
}

TEST(ReportJournal, TextAndJsonLinesForAReaderByHand) {
  const TJournalRecord r{17, 1765448102123, 3, 0x80, std::string("\x01\x80\x00\x03\x00", 5) + "PLU \"A\";12;"};
  EXPECT_EQ(JournalRecordText(r), "2025-12-11T10:15:02.123Z #17 ECR 3 PLU_R PLU \"A\";12;");
  EXPECT_EQ(JournalRecordJson(r),
            "{\"seq\":17,\"time\":\"2025-12-11T10:15:02.123Z\",\"ecr\":3,\"event\":\"PLU_R\",\"code\":128,"
            "\"text\":\"PLU \\\"A\\\";12;\"}");
}

}  // namespace
}  // namespace kassiro
