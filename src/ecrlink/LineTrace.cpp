#include "ecrlink/LineTrace.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <system_error>
#include <utility>

#include "core/LogFile.h"
#include "platform/LocalTime.h"
#include "platform/OwnFile.h"
#include "util/HexText.h"

namespace kassiro {

namespace {

// Room kept below the size limit for the notes and the closing line.
constexpr std::size_t CLOSING_ROOM = 256;

// "2 s", or "300 ms" for less than a second.
std::string DurationText(std::chrono::milliseconds d) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  return secs > 0 ? std::to_string(secs) + " s" : std::to_string(d.count()) + " ms";
}

}  // namespace

std::string TraceStamp(TWallTime t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  const std::tm tm = platform::LocalTm(secs);
  char buf[40];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return buf;
}

// ------------------------------------------------------------ TTraceFormatter

void TTraceFormatter::Add(TWallTime at, TTraceDir dir, std::span<const std::uint8_t> bytes, std::string& out) {
  bool first = true;
  for (const std::uint8_t b : bytes) {
    // A write starts a line of its own; what is read joins while it comes closely.
    const bool joins = !FLine.empty() && FCount < TRACE_BYTES_PER_LINE && dir == FDir &&
                       (dir == TTraceDir::FromLine ? at - FLast <= TRACE_JOIN_GAP : !first);
    if (!joins) StartLine(dir != TTraceDir::FromLine && !first ? FLineAt : at, dir, out);
    FLine += ' ';
    FLine += HexByte(b);
    ++FCount;
    FLast = at;
    first = false;
  }
}

void TTraceFormatter::StartLine(TWallTime at, TTraceDir dir, std::string& out) {
  Finish(out);
  constexpr std::array<const char*, 3> MARKS = {" >", " <", " x"};
  FLine = TraceStamp(at) + MARKS[static_cast<std::size_t>(dir)];
  FDir = dir;
  FLineAt = at;
}

void TTraceFormatter::Finish(std::string& out) {
  if (FLine.empty()) return;
  out += FLine;
  out += '\n';
  FLine.clear();
  FCount = 0;
}

// ------------------------------------------------------------ TLineTrace

TLineTrace::TLineTrace(TWallClock Clock, TLogSink Log)
    : FClock(std::move(Clock)), FLog(Log ? std::move(Log) : [](std::string_view line) { LogAddLine(line); }) {}

TLineTrace::~TLineTrace() {
  {
    std::lock_guard lk(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  JoinWriter();
}

void TLineTrace::JoinWriter() {
  if (FThread.joinable()) FThread.join();
}

std::string TLineTrace::Start(const std::filesystem::path& path, std::chrono::milliseconds duration,
                              std::string_view about, std::size_t maxFileBytes) {
  {
    std::lock_guard lk(FMutex);
    if (FWriting) return "a trace is being written to " + path.string() + " already";
  }
  JoinWriter();  // the last trace's writer, done
  // Never a link or a FIFO that another user put in the folder.
  platform::TOwnFile own = platform::OpenOwnFile(path, {.Access = platform::TAccess::Write,
                                                        .Create = true,
                                                        .Truncate = true,
                                                        .CreatePerms = std::filesystem::perms(0640)});
  if (!own.Valid()) return path.string() + ": " + own.Problem();
  platform::TFile file = std::move(own.File());
  const std::string head = "# Kassiro line trace: " + std::string(about) + ", " + DurationText(duration) +
                           ", at most " + std::to_string(maxFileBytes) + " bytes\n" +
                           "# > computer to line, < line to computer, x line to computer discarded unread before a "
                           "take request; time of the line's first byte\n" +
                           "# trace began " + TraceStamp(FClock()) + "\n";
  if (const std::error_code error = file.WriteAll(head)) return path.string() + ": " + error.message();
  const auto until = std::chrono::steady_clock::now() + duration;
  {
    std::lock_guard lk(FMutex);
    FPending.Clear();
    FPending.Records.reserve(MAX_PENDING_RECORDS);
    FPending.Bytes.reserve(MAX_PENDING_BYTES);
    FWriting = true;
    FRecording = true;
  }
  try {
    FThread = std::thread([this, file = std::move(file), until, maxFileBytes, path, size = head.size()]() mutable {
      Writer(file, until, maxFileBytes, size, path);
    });
  } catch (const std::system_error& e) {
    std::lock_guard lk(FMutex);
    FWriting = false;
    FRecording = false;
    return std::string("no thread for the trace: ") + e.what();
  }
  if (FLog) FLog("Line trace to " + path.string() + " for " + DurationText(duration));
  return {};
}

bool TLineTrace::WaitEnded(std::chrono::milliseconds limit) {
  std::unique_lock lk(FMutex);
  return FEnded.wait_for(lk, limit, [this] { return !FWriting; });
}

void TLineTrace::Record(TTraceDir dir, std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || !FRecording.load(std::memory_order_relaxed)) return;
  const TWallTime at = FClock();
  std::lock_guard lk(FMutex);
  if (!FRecording.load(std::memory_order_relaxed)) return;
  TPending& p = FPending;
  // Once something was dropped, everything is until the writer took the buffer, so the
  // note of the gap stands where the gap is.
  if (p.Dropped > 0 || p.Records.size() >= MAX_PENDING_RECORDS ||
      p.Bytes.size() + bytes.size() > MAX_PENDING_BYTES) {
    p.Dropped += bytes.size();
    return;
  }
  while (!bytes.empty()) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), UINT16_MAX);
    p.Records.push_back({at, static_cast<std::uint32_t>(p.Bytes.size()), static_cast<std::uint16_t>(n), dir});
    p.Bytes.insert(p.Bytes.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    bytes = bytes.subspan(n);
  }
}

void TLineTrace::Writer(platform::TFile& file, std::chrono::steady_clock::time_point until, std::size_t maxFileBytes,
                        std::size_t written, const std::filesystem::path& path) {
  TPending mine;
  mine.Records.reserve(MAX_PENDING_RECORDS);
  mine.Bytes.reserve(MAX_PENDING_BYTES);
  TTraceFormatter fmt;
  std::uint64_t dropped = 0;
  std::string why;  // why the trace ends; empty while it runs
  std::string out;
  for (;;) {
    {
      std::unique_lock lk(FMutex);
      FWake.wait_until(lk, std::min(std::chrono::steady_clock::now() + WRITE_PERIOD, until),
                       [this] { return FStop; });
      if (FStop) why = "the server stopped";
      else if (std::chrono::steady_clock::now() >= until) why = "time is up";
      if (!why.empty()) FRecording = false;
      std::swap(mine, FPending);
    }
    out.clear();
    for (const TRecord& r : mine.Records) fmt.Add(r.At, r.Dir, std::span(mine.Bytes).subspan(r.Offset, r.Length), out);
    if (mine.Dropped > 0) {
      fmt.Finish(out);
      out += "# " + std::to_string(mine.Dropped) + " bytes not traced: the trace fell behind the line\n";
      dropped += mine.Dropped;
    }
    mine.Clear();
    if (!why.empty()) fmt.Finish(out);
    if (written + out.size() + CLOSING_ROOM > maxFileBytes) {
      // Whole lines only, up to the limit; the closing line says the limit cut it.
      const std::size_t room = maxFileBytes > written + CLOSING_ROOM ? maxFileBytes - written - CLOSING_ROOM : 0;
      const std::size_t cut = out.rfind('\n', room == 0 ? 0 : room - 1);
      out.resize(cut == std::string::npos || room == 0 ? 0 : cut + 1);
      why = "the file reached its limit of " + std::to_string(maxFileBytes) + " bytes";
      std::lock_guard lk(FMutex);
      FRecording = false;
    }
    if (const std::error_code error = file.WriteAll(out)) {
      why = "writing failed: " + error.message();
      std::lock_guard lk(FMutex);
      FRecording = false;
      break;
    }
    written += out.size();
    if (!why.empty()) break;
  }
  std::string closing = "# trace ended " + TraceStamp(FClock()) + ": " + why;
  if (dropped > 0) closing += "; " + std::to_string(dropped) + " bytes not traced in all";
  (void)file.WriteAll(closing + "\n");
  (void)file.Close();
  if (FLog) FLog("Line trace to " + path.string() + " ended: " + why);
  {
    std::lock_guard lk(FMutex);
    FPending.Clear();
    FWriting = false;
  }
  FEnded.notify_all();
}

}  // namespace kassiro
