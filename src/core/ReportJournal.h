// The report journal: every report the server hands to the holders of the report set,
// kept on disk in order, with a sequence number that never repeats, so that a reader
// that was away (the bridge, an auditor) reads from its own position and misses nothing.
// Not the system log (platform/Journal.h).
//
// A folder of segment files "<first sequence number, 20 digits>.krj" and a file
// "stored" that holds the last sequence number on disk (8 bytes, little-endian): a
// reader hands out nothing past it, so nothing it reads can be lost to a power cut.
// A record: magic "KRJ1", the body's length (4 bytes) and CRC-32 (4 bytes), all
// little-endian, then the body: sequence number (8), time in ms since 1970 (8), ECR (1),
// event code (1), and the message exactly as the holder gets it (head and text).
//
// The writer appends on a thread of its own: Append (under the session lock) only
// queues; the thread writes what was queued and flushes it to disk in one go (a group
// commit: at once when the last flush is older than the interval, else when it is),
// then says up to which number the disk holds. Each start opens a new segment after the
// last record found, so a damaged tail is never written after. Segments older than the
// days kept, and the oldest while the journal is larger than its bound, are removed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "platform/File.h"

namespace kassiro {

inline constexpr int JOURNAL_DEFAULT_DAYS = 31;
inline constexpr int JOURNAL_MAX_DAYS = 3650;

struct TJournalRecord {
  std::uint64_t Seq = 0;
  std::int64_t TimeMs = 0;  // since 1970, UTC
  std::uint8_t Ecr = 0;
  std::uint8_t Event = 0;
  std::string Message;  // head (ST, event, port, ECR, error) and text
  std::string_view Text() const { return std::string_view(Message).substr(Message.size() < 5 ? Message.size() : 5); }
};

// The record's bytes on disk, and back; nothing when bytes do not start with a whole,
// intact record (used tells how many it took).
std::string EncodeJournalRecord(const TJournalRecord& r);
std::optional<TJournalRecord> DecodeJournalRecord(std::string_view bytes, std::size_t& used);

// "2026-12-11T10:15:02.123Z #17 ECR 3 PLU_R <text>" and one JSON object, for a reader by hand.
std::string JournalRecordText(const TJournalRecord& r);
std::string JournalRecordJson(const TJournalRecord& r);

std::string JournalSegmentName(std::uint64_t firstSeq);

class TReportJournal {
 public:
  struct TOptions {
    std::filesystem::path Dir;
    int Days = JOURNAL_DEFAULT_DAYS;
    std::uint64_t SegmentBytes = 8ull << 20;  // a new segment begins past this size
    std::uint64_t MaxBytes = 1ull << 30;      // the oldest segments go past this
    std::chrono::milliseconds FlushInterval{100};
    // Called on the writer's thread, with no lock of the journal held, once every record
    // up to the number is on disk.
    std::function<void(std::uint64_t)> OnStored;
    std::function<void(const std::string&)> Log;
  };
  struct TState {
    std::uint64_t First = 0;  // 0: empty
    std::uint64_t Last = 0;
    std::uint64_t Bytes = 0;
  };

  // Makes the folder (readable by the owner and the group only) and finds where the last
  // run ended; an error text when the folder cannot be used.
  static std::variant<std::unique_ptr<TReportJournal>, std::string> Open(TOptions options);
  // Writes and flushes what is queued, then ends the thread.
  ~TReportJournal();
  TReportJournal(const TReportJournal&) = delete;
  TReportJournal& operator=(const TReportJournal&) = delete;

  // Queues a record; its sequence number. Never waits for the disk.
  std::uint64_t Append(std::uint8_t ecr, std::uint8_t event, std::string_view message);
  // Returns once everything appended so far is on disk.
  void Settle();
  TState State() const;

 private:
  explicit TReportJournal(TOptions options);
  void Recover();
  void Run(std::stop_token stop);
  bool WriteBatch(const std::string& bytes, std::uint64_t first, std::uint64_t last);
  void Prune();
  void Say(const std::string& line) const;

  const TOptions FOptions;
  mutable std::mutex FMutex;
  std::condition_variable_any FWake;
  std::condition_variable FStoredCv;
  std::uint64_t FNext = 1;      // the next number handed out
  std::uint64_t FStored = 0;    // on disk up to here
  std::string FQueued;          // encoded, not yet written
  std::uint64_t FQueuedFirst = 0;
  std::map<std::uint64_t, std::uint64_t> FSegments;  // first number -> bytes
  std::uint64_t FFirst = 0;     // the oldest record's number (0: none)
  // The writer's own (its thread only, after Open).
  platform::TFile FWriter;
  std::uint64_t FWriterFirst = 0;
  platform::TFile FStoredFile;
  std::chrono::steady_clock::time_point FLastPrune{};
  std::jthread FThread;  // last: stopped first
};

// Reads a journal in order from a sequence number on, as it grows. Damage, a truncated or
// missing segment and numbers pruned away are skipped, each said once through onProblem
// (missing numbers with their range); reading never stops on them. Only records the
// writer says are on disk are handed out.
class TJournalReader {
 public:
  TJournalReader(std::filesystem::path dir, std::uint64_t from,
                 std::function<void(const std::string&)> onProblem);
  // The next record, or nothing when none is there yet.
  std::optional<TJournalRecord> Next();
  // The number the next record should have.
  std::uint64_t Expected() const { return FExpected; }

 private:
  std::optional<std::uint64_t> StoredUpTo() const;
  bool OpenSegment(std::uint64_t first);
  std::optional<std::uint64_t> SegmentAfter(std::uint64_t first) const;
  std::optional<std::uint64_t> SegmentFor(std::uint64_t seq) const;
  bool Fill();
  void Problem(const std::string& what);

  std::filesystem::path FDir;
  std::uint64_t FExpected;
  std::function<void(const std::string&)> FOnProblem;
  platform::TFile FFile;
  std::uint64_t FSegment = 0;  // first number of the segment open (0: none)
  std::uint64_t FOffset = 0;   // read up to here
  std::string FBuffer;         // bytes read from FOffset - FBuffer.size() on
  std::uint64_t FBufferAt = 0;  // file offset of FBuffer[0]
  std::uint64_t FStoredSeen = 0;  // the writer's word, read again when reached
};

}  // namespace kassiro
