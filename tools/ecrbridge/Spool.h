// The bridge's on-disk spool: every report goes in here first, in the order it came,
// and leaves only once the broker has acknowledged it. The spool is a folder of segment
// files (NNNNNNNNNNNN.seg) of records, a cursor file that marks the first record the
// broker has not acknowledged, and a lock file that keeps a second bridge out.
//
// A record: its body's length (4 bytes, little-endian), the body's CRC-32 (4 bytes),
// the body: the topic's length (2 bytes), the topic, the payload.
//
// Durability: a written record counts as stored once it is flushed to disk. A thread of
// the spool flushes what was written (a group commit: one flush for every record written
// since the last), at once when the last flush is older than the interval, else when it
// is. Only stored records are read for the broker, so what the broker has was on disk.
//
// What it survives: a process killed between any two of its writes (the cursor is
// written before a segment is deleted, a cursor whose segment is gone starts at the
// next one, a segment is never used again once the cursor has passed it), a power cut
// (at most the records of the last interval are lost), damage (every read checks the
// CRC; past a damaged record the next intact one is found, and what was skipped is
// said), a segment that can't be written (the next report goes into a new one).
// Everything before the cursor may be published again after a crash (never less).
//
// The segments together never exceed the size given: a report that does not fit is
// refused, and the caller logs it. Appends (the link's thread), reads and
// acknowledgements (the publisher's thread) and flushes may run at the same time.
#pragma once

#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "platform/File.h"
#include "platform/LockedFile.h"
#include "util/Crc32.h"

namespace kassiro::bridge {

class TSpool {
 public:
  // A place in the spool: a segment and a byte offset in it.
  struct TPos {
    std::uint64_t Segment = 0;
    std::uint64_t Offset = 0;
    friend bool operator==(const TPos&, const TPos&) = default;
    friend auto operator<=>(const TPos&, const TPos&) = default;
  };
  struct TRecord {
    std::string Topic;
    std::string Payload;
    TPos End;  // where the next record begins
  };
  // Written: in the segment file; it is stored (and read) once flushed.
  enum class TAppend { Written, Full, Failed };

  struct TOptions {
    std::uint64_t MaxBytes = 64ull << 20;
    // The group commit's interval: flushes at most this often. Zero: never flushed,
    // a record counts as stored once written (a power cut loses what the system had
    // not written yet).
    std::chrono::milliseconds FlushInterval{100};
    bool ManualFlush = false;  // no thread: only Flush() flushes (every step in a known order)
    // Called before every change on disk with its kind ("create", "append", "truncate",
    // "cursor", "unlink", "sync"): where a test cuts the process.
    std::function<void(std::string_view)> BeforeWrite;
    // Damage that a read skipped, in words; once for each place.
    std::function<void(const std::string&)> OnDamage;
  };

  static constexpr std::uint64_t MIN_SIZE = 16 * 1024;

  // Opens (or makes) the folder, recovers what a previous run left; an error text when
  // that is impossible.
  static std::variant<std::unique_ptr<TSpool>, std::string> Open(const std::filesystem::path& dir,
                                                                 TOptions options);
  static std::variant<std::unique_ptr<TSpool>, std::string> Open(const std::filesystem::path& dir,
                                                                 std::uint64_t maxBytes);

  TAppend Append(const std::string& topic, const std::string& payload);
  // The next stored record from pos on, if one is there; pos may be the end of a segment.
  std::optional<TRecord> Read(const TPos& pos);
  // Everything before upTo, records of them, has reached the broker.
  void Acknowledge(const TPos& upTo, std::uint64_t records);
  // Flushes what was written now; it is stored when this returns.
  void Flush();
  // Called (on the flushing thread) when records have become stored.
  void OnStored(std::function<void()> callback);

  TPos Cursor() const;
  std::uint64_t Bytes() const;     // on disk now
  std::uint64_t Pending() const;   // records not acknowledged
  std::uint64_t MaxBytes() const { return FOptions.MaxBytes; }
  // What the open found damaged, skipped or cut off (empty: nothing).
  const std::string& Repaired() const { return FRepaired; }

  TSpool(const TSpool&) = delete;
  TSpool& operator=(const TSpool&) = delete;
  ~TSpool();

 private:
  TSpool(std::filesystem::path dir, TOptions options, platform::TLockedFile lock);

  std::optional<std::string> Recover();
  std::optional<std::string> RecoverSegment(std::uint64_t segment, std::uint64_t& size);
  std::filesystem::path SegmentPath(std::uint64_t segment) const;
  std::string SegmentName(std::uint64_t segment) const;
  // The segment open for reading, or nothing (error tells why).
  platform::TFile* Reader(std::uint64_t segment, std::error_code& error);
  bool OpenWriter();
  void NextWriter();
  void WriteCursor();
  void DropSegment(std::uint64_t segment);
  void Step(std::string_view kind) const;
  std::optional<TRecord> ReadAt(TPos& pos, std::uint64_t limit, std::string& damage);
  void FlushLoop(std::stop_token stop);

  const std::filesystem::path FDir;
  const TOptions FOptions;
  const std::uint64_t FSegmentTarget;  // a new segment begins past this size
  platform::TLockedFile FLock;

  mutable std::mutex FMutex;
  std::map<std::uint64_t, std::uint64_t> FSegments;  // number -> bytes
  std::uint64_t FBytes = 0;
  std::uint64_t FPending = 0;
  TPos FCursor;
  platform::TFile FCursorFile;
  platform::TFile FWriter;            // the last segment, open for appending
  std::uint64_t FWriterSegment = 0;
  TPos FWritten;                     // the end of the last record written
  TPos FStored;                      // the end of what is flushed: what is read
  std::vector<platform::TFile> FUnflushed;  // segments left behind since the last flush
  bool FNewSegment = false;          // a segment was made since the last flush
  platform::TFile FReader;            // the segment being read
  std::error_code FReaderError;       // why it could not be opened
  std::uint64_t FReaderSegment = 0;
  // Damage a read met: where it starts -> how far it is known to reach.
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> FDamaged;
  std::function<void()> FOnStored;
  std::string FRepaired;

  std::mutex FFlushMutex;            // one flush at a time
  std::condition_variable_any FFlushDue;
  std::jthread FFlusher;             // last: stopped first
};

using kassiro::Crc32;

}  // namespace kassiro::bridge
