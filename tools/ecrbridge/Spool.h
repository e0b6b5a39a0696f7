// The bridge's on-disk spool: every report goes in here first, in the order it came,
// and leaves only once the broker has acknowledged it. The spool is a folder of segment
// files (NNNNNNNNNNNN.seg) of records, a cursor file that marks the first record the
// broker has not acknowledged, and a lock file that keeps a second bridge out.
//
// A record: its body's length (4 bytes, little-endian), the body's CRC-32 (4 bytes),
// the body: the topic's length (2 bytes), the topic, the payload. A process killed at
// any point leaves records that are whole or a torn tail, which the next open cuts off;
// everything before the cursor may be published again after a kill (never less).
//
// The segments together never exceed the size given: a report that does not fit is
// refused, and the caller logs it. Appends (the link's thread) and reads and
// acknowledgements (the publisher's thread) may run at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "ecrlink/UniqueFd.h"


namespace kassiro::bridge {

class TSpool {
 public:
  // A place in the spool: a segment and a byte offset in it.
  struct TPos {
    std::uint64_t Segment = 0;
    std::uint64_t Offset = 0;
    friend bool operator==(const TPos&, const TPos&) = default;
  };
  struct TRecord {
    std::string Topic;
    std::string Payload;
    TPos End;  // where the next record begins
  };
  enum class TAppend { Stored, Full, Failed };

  static constexpr std::uint64_t MIN_SIZE = 16 * 1024;

  // Opens (or makes) the folder, recovers what a previous run left; an error text when
  // that is impossible.
  static std::variant<std::unique_ptr<TSpool>, std::string> Open(const std::filesystem::path& dir,
                                                                 std::uint64_t maxBytes);

  TAppend Append(const std::string& topic, const std::string& payload);
  // The record at pos, if one is there; pos may be the end of a segment.
  std::optional<TRecord> Read(const TPos& pos);
  // Everything before upTo, records of them, has reached the broker.
  void Acknowledge(const TPos& upTo, std::uint64_t records);

  TPos Cursor() const;
  std::uint64_t Bytes() const;     // on disk now
  std::uint64_t Pending() const;   // records not acknowledged
  std::uint64_t MaxBytes() const { return FMaxBytes; }
  // What the open found damaged and cut off (empty: nothing).
  const std::string& Repaired() const { return FRepaired; }

  TSpool(const TSpool&) = delete;
  TSpool& operator=(const TSpool&) = delete;
  ~TSpool() = default;

 private:
  TSpool(std::filesystem::path dir, std::uint64_t maxBytes, TUniqueFd lock);

  std::optional<std::string> Recover();
  std::uint64_t CheckSegment(std::uint64_t segment, std::uint64_t from, std::uint64_t& records);
  std::filesystem::path SegmentPath(std::uint64_t segment) const;
  int ReadFd(std::uint64_t segment);
  bool OpenWriter();
  void WriteCursor();
  void DropSegment(std::uint64_t segment);

  const std::filesystem::path FDir;
  const std::uint64_t FMaxBytes;
  const std::uint64_t FSegmentTarget;  // a new segment begins past this size
  TUniqueFd FLock;

  mutable std::mutex FMutex;
  std::map<std::uint64_t, std::uint64_t> FSegments;  // number -> bytes
  std::uint64_t FBytes = 0;
  std::uint64_t FPending = 0;
  TPos FCursor;
  TUniqueFd FCursorFd;
  TUniqueFd FWriter;                 // the last segment, open for appending
  std::uint64_t FWriterSegment = 0;
  TUniqueFd FReader;                 // the segment being read
  std::uint64_t FReaderSegment = 0;
  std::string FRepaired;
};

// CRC-32 (IEEE 802.3, as zlib computes it).
std::uint32_t Crc32(const void* data, std::size_t size);

}  // namespace kassiro::bridge
