// The line trace: how bytes become the file's lines, and the trace's bounds in time,
// size and memory, with a wall clock the test sets.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ScopedEnv.h"
#include "TempDir.h"
#include "ecrlink/LineTrace.h"

namespace kassiro {
namespace {

using namespace std::chrono_literals;
using kassiro::testing::ReadFile;
using kassiro::testing::TempDir;
using Bytes = std::vector<std::uint8_t>;

// Time stamps in UTC for the length of a test.
class TUtc {
 public:
  TUtc() { ::tzset(); }
  ~TUtc() {
    FZone.reset();
    ::tzset();
  }

 private:
  std::optional<test::ScopedEnv> FZone{std::in_place, "TZ", "UTC0"};
};

// 2026-12-10 14:03:22.000 UTC, and ms later.
TWallTime At(int ms) { return TWallTime(std::chrono::seconds(1796911402)) + std::chrono::milliseconds(ms); }

TEST(TraceFormatter, LinesByDirectionGapAndLength) {
  TUtc utc;
  ASSERT_EQ(TraceStamp(At(7)), "2026-12-10 14:03:22.007");
  struct TPiece {
    int ms;
    TTraceDir dir;
    Bytes bytes;
  };
  const auto to = TTraceDir::ToLine;
  const auto from = TTraceDir::FromLine;
  Bytes forty(40, 0xFF);
  Bytes thirtyThree(33, 0x41);
  struct TCase {
    const char* name;
    std::vector<TPiece> pieces;
    std::string want;
  };
  const TCase cases[] = {
      {"a take request",
       {{0, to, {0xFF, 0xFF, 0x11, 0x11, 0x30, 0x33}}},
       "2026-12-10 14:03:22.000 > FF FF 11 11 30 33\n"},
      {"read bytes join while they come within 20 ms",
       {{5, from, {0x0A}}, {6, from, {0x31}}, {26, from, {0x0D}}, {47, from, {0x12}}},
       "2026-12-10 14:03:22.005 < 0A 31 0D\n2026-12-10 14:03:22.047 < 12\n"},
      {"each write is a line of its own",
       {{0, to, {0xFF, 0x06}}, {1, to, {0xFE, 0xFE}}},
       "2026-12-10 14:03:22.000 > FF 06\n2026-12-10 14:03:22.001 > FE FE\n"},
      {"bytes discarded before a take: a line of their own, under one time",
       {{0, from, {0x0A}}, {1, TTraceDir::Discarded, {0x30, 0x31}}, {2, TTraceDir::Discarded, {0x0D}},
        {3, to, {0xFF}}},
       "2026-12-10 14:03:22.000 < 0A\n2026-12-10 14:03:22.001 x 30 31\n2026-12-10 14:03:22.002 x 0D\n"
       "2026-12-10 14:03:22.003 > FF\n"},
      {"the direction changes",
       {{0, to, {0x01}}, {1, from, {0x06}}, {2, to, {0x02}}},
       "2026-12-10 14:03:22.000 > 01\n2026-12-10 14:03:22.001 < 06\n2026-12-10 14:03:22.002 > 02\n"},
      {"a long write goes on under its time",
       {{3, to, forty}},
       "2026-12-10 14:03:22.003 >" + [] {
         std::string s;
         for (int i = 0; i < 32; ++i) s += " FF";
         return s;
       }() + "\n2026-12-10 14:03:22.003 > FF FF FF FF FF FF FF FF\n"},
      {"a long read goes on under the time of its next byte",
       [&] {
         std::vector<TPiece> p;
         for (int i = 0; i < 33; ++i) p.push_back({i, from, {0x41}});
         return p;
       }(),
       "2026-12-10 14:03:22.000 <" + [] {
         std::string s;
         for (int i = 0; i < 32; ++i) s += " 41";
         return s;
       }() + "\n2026-12-10 14:03:22.032 < 41\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TTraceFormatter f;
    std::string out;
    for (const TPiece& p : c.pieces) f.Add(At(p.ms), p.dir, p.bytes, out);
    f.Finish(out);
    EXPECT_EQ(out, c.want);
  }
}

// A trace with a wall clock the test moves; its log lines collected.
struct TTraceRig {
  void Record(int ms, TTraceDir dir, const Bytes& b) {
    now = ms;
    trace->Record(dir, b);
  }
  std::vector<std::string> Log() {
    std::lock_guard lk(mu);
    return log;
  }
  TempDir dir;
  std::filesystem::path file = dir / "kassirod.trace";
  std::atomic<int> now{0};
  std::mutex mu;
  std::vector<std::string> log;
  std::unique_ptr<TLineTrace> trace = std::make_unique<TLineTrace>([this] { return At(now); },
                                                                   [this](std::string_view line) {
                                                                     std::lock_guard lk(mu);
                                                                     log.emplace_back(line);
                                                                   });
};

TEST(LineTrace, RunsForItsTimeAndEndsByItself) {
  TUtc utc;
  TTraceRig rig;
  rig.trace->Record(TTraceDir::ToLine, Bytes{0x99});  // before the start: not traced
  ASSERT_EQ(rig.trace->Start(rig.file, 500ms, "port pts/3, 9600 bit/s"), "");
  EXPECT_TRUE(rig.trace->Running());
  rig.Record(1, TTraceDir::ToLine, {0xFF, 0xFF, 0x11, 0x11, 0x30, 0x33});
  rig.Record(9, TTraceDir::FromLine, {0x0A});
  rig.Record(10, TTraceDir::FromLine, {0x0D});
  EXPECT_NE(rig.trace->Start(rig.file, 1s, "again"), "") << "one trace at a time";
  rig.now = 2000;
  ASSERT_TRUE(rig.trace->WaitEnded(30s));
  EXPECT_FALSE(rig.trace->Running());
  rig.trace->Record(TTraceDir::ToLine, Bytes{0x98});  // after the end: not traced
  EXPECT_EQ(ReadFile(rig.file),
            "# Kassiro line trace: port pts/3, 9600 bit/s, 500 ms, at most 8388608 bytes\n"
            "# > computer to line, < line to computer, x line to computer discarded unread before a take "
            "request; time of the line's first byte\n"
            "# trace began 2026-12-10 14:03:22.000\n"
            "2026-12-10 14:03:22.001 > FF FF 11 11 30 33\n"
            "2026-12-10 14:03:22.009 < 0A 0D\n"
            "# trace ended 2026-12-10 14:03:24.000: time is up\n");
  EXPECT_EQ(rig.Log(), (std::vector<std::string>{"Line trace to " + rig.file.string() + " for 500 ms",
                                                 "Line trace to " + rig.file.string() + " ended: time is up"}));
  // A new trace empties the file.
  ASSERT_EQ(rig.trace->Start(rig.file, 1ms, "again"), "");
  ASSERT_TRUE(rig.trace->WaitEnded(30s));
  EXPECT_EQ(ReadFile(rig.file).find("FF FF 11 11"), std::string::npos);
}

TEST(LineTrace, FileIsCutAtItsLimitAndSaysSo) {
  TTraceRig rig;
  constexpr std::size_t limit = 2048;
  ASSERT_EQ(rig.trace->Start(rig.file, 1h, "port x, 9600 bit/s", limit), "");
  // Far more than fits; the trace ends by itself long before its hour.
  for (int i = 0; i < 200 && rig.trace->Running(); ++i) rig.Record(i * 30, TTraceDir::ToLine, Bytes(20, 0x55));
  ASSERT_TRUE(rig.trace->WaitEnded(30s));
  const std::string text = ReadFile(rig.file);
  EXPECT_LE(text.size(), limit);
  EXPECT_TRUE(text.ends_with(": the file reached its limit of 2048 bytes\n")) << text;
  // Whole lines only before the closing line.
  const auto closing = text.rfind("\n# trace ended ");
  ASSERT_NE(closing, std::string::npos);
  const std::string before = text.substr(0, closing + 1);
  EXPECT_TRUE(before.ends_with(" 55 55 55\n")) << before;
}

// More than the memory buffer holds before the writer takes it: dropped and counted,
// never waited for.
TEST(LineTrace, BytesTheWriterCannotTakeAreDroppedAndCounted) {
  TUtc utc;
  TTraceRig rig;
  ASSERT_EQ(rig.trace->Start(rig.file, 1h, "port x, 9600 bit/s"), "");
  rig.Record(1, TTraceDir::ToLine, {0xAA});
  const Bytes flood(TLineTrace::MAX_PENDING_BYTES + 1, 0x00);
  rig.Record(2, TTraceDir::FromLine, flood);
  rig.trace.reset();  // the server ends while the trace runs
  const std::string text = ReadFile(rig.file);
  const std::string dropped = std::to_string(flood.size());
  EXPECT_TRUE(text.ends_with("2026-12-10 14:03:22.001 > AA\n# " + dropped +
                             " bytes not traced: the trace fell behind the line\n"
                             "# trace ended 2026-12-10 14:03:22.002: the server stopped; " +
                             dropped + " bytes not traced in all\n"))
      << text;
}

TEST(LineTrace, AFileThatCannotBeWrittenIsRefused) {
  TTraceRig rig;
  const auto missing = rig.dir / "no-such-folder" / "kassirod.trace";
  // The system's own text (Windows words it in its own way, Wine in another).
  const std::string refusal = rig.trace->Start(missing, 1s, "x");
  EXPECT_TRUE(refusal.starts_with(missing.string() + ": ")) << refusal;
#ifndef _WIN32
  EXPECT_EQ(refusal, missing.string() + ": No such file or directory");
#endif
  EXPECT_FALSE(rig.trace->Running());
  rig.trace->Record(TTraceDir::ToLine, Bytes{1});
  EXPECT_TRUE(rig.trace->WaitEnded(0ms));
}

}  // namespace
}  // namespace kassiro
