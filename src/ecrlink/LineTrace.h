// A time-stamped hex trace of every byte on the serial line, both directions, written
// on request while the server runs. The protocol object records each write and each
// byte read; recording only appends to a bounded buffer in memory, and a writer thread
// of the trace formats it and puts it on disk, so the line never waits for the disk.
// When the writer falls behind, bytes are dropped and counted in the file. A trace
// ends by itself after its time, and is cut when the file reaches its size limit.
//
// The file ("kassirod.trace" beside the program's other files):
//   # Kassiro line trace: port pts/3, 9600 bit/s, 2 s, at most 8388608 bytes
//   # > computer to line, < line to computer, x line to computer discarded unread before a take request; time of the line's first byte
//   # trace began 2026-12-10 14:03:22.120
//   2026-12-10 14:03:22.125 > FF FF 11 11 30 33
//   2026-12-10 14:03:22.131 < 0A 30 30 34 37 30 33 3B 0D 5A 61
//   2026-12-10 14:03:22.131 > FF 06
//   # 120 bytes not traced: the trace fell behind the line
//   # trace ended 2026-12-10 14:03:24.121: time is up
// (the second line is one line in the file). A write of the computer, and each lot of
// discarded bytes, starts a line of its own (the discarded ones under the time they were
// thrown away); bytes read join the line before while they come within TRACE_JOIN_GAP of
// each other; a line holds at most TRACE_BYTES_PER_LINE bytes and goes on under the same
// time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/File.h"

namespace kassiro {

// Discarded: bytes from the line that nobody read, thrown away before a take request.
enum class TTraceDir : std::uint8_t { ToLine, FromLine, Discarded };

using TWallTime = std::chrono::system_clock::time_point;

inline constexpr std::size_t TRACE_BYTES_PER_LINE = 32;
inline constexpr std::chrono::milliseconds TRACE_JOIN_GAP{20};

// "2026-12-10 14:03:22.123", local time.
std::string TraceStamp(TWallTime t);

// Turns recorded bytes into the lines of the trace file; no I/O.
class TTraceFormatter {
 public:
  // Appends the lines completed by these bytes to out; the last line stays open for
  // bytes that may join it.
  void Add(TWallTime at, TTraceDir dir, std::span<const std::uint8_t> bytes, std::string& out);
  // Appends the open line, if any.
  void Finish(std::string& out);

 private:
  void StartLine(TWallTime at, TTraceDir dir, std::string& out);

  std::string FLine;  // the open line, without its newline
  TTraceDir FDir = TTraceDir::ToLine;
  TWallTime FLineAt{};   // time stamp of the open line
  TWallTime FLast{};     // the open line's last byte
  std::size_t FCount = 0;
};

class TLineTrace {
 public:
  static constexpr std::size_t MAX_FILE_BYTES = 8u << 20;
  // What may wait in memory for the writer; more is dropped and counted.
  static constexpr std::size_t MAX_PENDING_BYTES = 256u << 10;
  static constexpr std::size_t MAX_PENDING_RECORDS = 32u << 10;
  // How often the writer puts what was recorded on disk.
  static constexpr std::chrono::milliseconds WRITE_PERIOD{100};

  using TWallClock = std::function<TWallTime()>;
  using TLogSink = std::function<void(std::string_view line)>;

  // Log: where the trace's start, end and failures are told; the program's log by default.
  explicit TLineTrace(TWallClock Clock = [] { return std::chrono::system_clock::now(); },
                      TLogSink Log = nullptr);
  ~TLineTrace();  // a trace under way ends, "the server stopped"
  TLineTrace(const TLineTrace&) = delete;
  TLineTrace& operator=(const TLineTrace&) = delete;

  // Starts a trace into path (emptied first) for the given time; about names the line
  // in the file's first line. An empty text when it runs, else why not: the file could
  // not be opened, or a trace is under way already (it is left alone).
  std::string Start(const std::filesystem::path& path, std::chrono::milliseconds duration,
                    std::string_view about, std::size_t maxFileBytes = MAX_FILE_BYTES);
  bool Running() const { return FRecording.load(std::memory_order_relaxed); }
  // Waits up to limit for the trace under way to be complete on disk; true when no
  // trace runs any more.
  bool WaitEnded(std::chrono::milliseconds limit);

  // Any thread, cheap while no trace runs; never waits for the disk.
  void Record(TTraceDir dir, std::span<const std::uint8_t> bytes);

 private:
  struct TRecord {
    TWallTime At;
    std::uint32_t Offset;  // into the byte buffer
    std::uint16_t Length;
    TTraceDir Dir;
  };
  struct TPending {
    std::vector<TRecord> Records;
    std::vector<std::uint8_t> Bytes;
    std::uint64_t Dropped = 0;  // bytes that found the buffer full, after the records
    void Clear() {
      Records.clear();
      Bytes.clear();
      Dropped = 0;
    }
  };

  // Puts what was recorded on disk every WRITE_PERIOD until the trace ends; written is
  // what the file holds already.
  void Writer(platform::TFile& file, std::chrono::steady_clock::time_point until, std::size_t maxFileBytes,
              std::size_t written, const std::filesystem::path& path);
  void JoinWriter();

  TWallClock FClock;
  TLogSink FLog;
  std::atomic<bool> FRecording{false};
  mutable std::mutex FMutex;  // guards FPending, FStop and FWriting; never held on disk
  std::condition_variable FWake;
  std::condition_variable FEnded;
  TPending FPending;
  bool FStop = false;     // the server ends: the writer stops at once
  bool FWriting = false;  // a writer thread works on a trace
  std::thread FThread;
};

}  // namespace kassiro
