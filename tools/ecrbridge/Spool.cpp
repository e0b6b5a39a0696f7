#include "ecrbridge/Spool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace kassiro::bridge {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t HEADER = 8;            // length and CRC
constexpr std::uint32_t MAX_BODY = 1 << 20;  // far above any report; more is damage
constexpr std::size_t CURSOR_SIZE = 20;      // segment, offset, CRC

constexpr std::array<std::uint32_t, 256> CRC_TABLE = [] {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}();

void PutLe(char* at, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint64_t GetLe(const char* at, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(at[i]);
  return v;
}

bool ReadExactly(int fd, char* to, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, to, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    to += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const char* from, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, from, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    from += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::uint64_t> SegmentNumber(const fs::path& p) {
  const std::string name = p.filename().string();
  if (name.size() != 16 || !name.ends_with(".seg")) return std::nullopt;
  if (!std::all_of(name.begin(), name.begin() + 12, [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return std::stoull(name.substr(0, 12));
}

}  // namespace

std::uint32_t Crc32(const void* data, std::size_t size) {
  std::uint32_t c = 0xFFFFFFFFu;
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) c = CRC_TABLE[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

TSpool::TSpool(fs::path dir, std::uint64_t maxBytes, TUniqueFd lock)
    : FDir(std::move(dir)),
      FMaxBytes(maxBytes),
      FSegmentTarget(std::max<std::uint64_t>(maxBytes / 8, 4096)),
      FLock(std::move(lock)) {}

std::variant<std::unique_ptr<TSpool>, std::string> TSpool::Open(const fs::path& dir, std::uint64_t maxBytes) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return "cannot make the spool folder " + dir.string() + ": " + ec.message();
  TUniqueFd lock(::open((dir / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.valid()) return "cannot use the spool folder " + dir.string() + ": " + std::strerror(errno);
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
    return "the spool folder " + dir.string() + " is in use by another ecrbridge";
  std::unique_ptr<TSpool> spool(new TSpool(dir, maxBytes, std::move(lock)));
  if (auto error = spool->Recover()) return *error;
  return spool;
}

fs::path TSpool::SegmentPath(std::uint64_t segment) const {
  char name[32];
  std::snprintf(name, sizeof name, "%012llu.seg", static_cast<unsigned long long>(segment));
  return FDir / name;
}

std::optional<std::string> TSpool::Recover() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(FDir, ec)) {
    if (const auto n = SegmentNumber(entry.path()); n && entry.is_regular_file())
      FSegments[*n] = entry.file_size();
  }
  if (ec) return "cannot read the spool folder " + FDir.string() + ": " + ec.message();

  FCursorFd.reset(::open((FDir / "cursor").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!FCursorFd.valid()) return "cannot open " + (FDir / "cursor").string() + ": " + std::strerror(errno);
  std::array<char, CURSOR_SIZE> raw{};
  std::optional<TPos> saved;
  if (ReadExactly(FCursorFd.get(), raw.data(), raw.size(), 0) &&
      GetLe(raw.data() + 16, 4) == Crc32(raw.data(), 16)) {
    saved = TPos{GetLe(raw.data(), 8), GetLe(raw.data() + 8, 8)};
  } else if (!FSegments.empty()) {
    FRepaired = "the cursor was damaged: every report in the spool is published again";
  }

  const std::uint64_t first = FSegments.empty() ? 0 : FSegments.begin()->first;
  const std::uint64_t last = FSegments.empty() ? 0 : FSegments.rbegin()->first;
  if (saved && saved->Segment >= 1) {
    FCursor = *saved;
  } else {
    FCursor = {std::max<std::uint64_t>(first, 1), 0};
  }
  // Segments before the cursor's were acknowledged, those after it start at 0.
  while (!FSegments.empty() && FSegments.begin()->first < FCursor.Segment) DropSegment(FSegments.begin()->first);
  if (!FSegments.empty() && FSegments.begin()->first > FCursor.Segment) FCursor = {FSegments.begin()->first, 0};
  FWriterSegment = std::max(last, FCursor.Segment);

  for (auto& [segment, size] : FSegments) {
    const std::uint64_t from = segment == FCursor.Segment ? std::min(FCursor.Offset, size) : 0;
    if (segment == FCursor.Segment) FCursor.Offset = from;
    const std::uint64_t end = CheckSegment(segment, from, FPending);
    if (end < size) {
      if (::truncate(SegmentPath(segment).c_str(), static_cast<off_t>(end)) != 0)
        return "cannot repair " + SegmentPath(segment).string() + ": " + std::strerror(errno);
      FRepaired += (FRepaired.empty() ? "" : "; ") + SegmentPath(segment).filename().string() +
                   ": damaged from byte " + std::to_string(end) + ", cut off";
      size = end;
    }
    FBytes += size;
  }
  WriteCursor();
  return std::nullopt;
}

// The end of the last whole record from `from` on; counts the records.
std::uint64_t TSpool::CheckSegment(std::uint64_t segment, std::uint64_t from, std::uint64_t& records) {
  const int fd = ReadFd(segment);
  const std::uint64_t size = FSegments[segment];
  std::uint64_t at = from;
  std::array<char, HEADER> head{};
  std::vector<char> body;
  while (fd >= 0 && at + HEADER <= size && ReadExactly(fd, head.data(), HEADER, at)) {
    const std::uint64_t length = GetLe(head.data(), 4);
    if (length < 2 || length > MAX_BODY || at + HEADER + length > size) break;
    body.resize(length);
    if (!ReadExactly(fd, body.data(), length, at + HEADER)) break;
    if (Crc32(body.data(), length) != GetLe(head.data() + 4, 4)) break;
    at += HEADER + length;
    ++records;
  }
  return at;
}

int TSpool::ReadFd(std::uint64_t segment) {
  if (!FReader.valid() || FReaderSegment != segment) {
    FReader.reset(::open(SegmentPath(segment).c_str(), O_RDONLY | O_CLOEXEC));
    FReaderSegment = segment;
  }
  return FReader.get();
}

bool TSpool::OpenWriter() {
  if (FWriter.valid()) return true;
  FWriter.reset(::open(SegmentPath(FWriterSegment).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!FWriter.valid()) return false;
  FSegments.try_emplace(FWriterSegment, 0);
  return true;
}

void TSpool::WriteCursor() {
  std::array<char, CURSOR_SIZE> raw{};
  PutLe(raw.data(), FCursor.Segment, 8);
  PutLe(raw.data() + 8, FCursor.Offset, 8);
  PutLe(raw.data() + 16, Crc32(raw.data(), 16), 4);
  // A failed write leaves the old cursor: reports are published again, none is lost.
  [[maybe_unused]] const ssize_t n = ::pwrite(FCursorFd.get(), raw.data(), raw.size(), 0);
}

void TSpool::DropSegment(std::uint64_t segment) {
  const auto it = FSegments.find(segment);
  if (it == FSegments.end()) return;
  FBytes -= std::min(FBytes, it->second);
  FSegments.erase(it);
  if (FReaderSegment == segment) FReader.reset();
  if (FWriterSegment == segment) FWriter.reset();
  std::error_code ec;
  fs::remove(SegmentPath(segment), ec);
}

TSpool::TAppend TSpool::Append(const std::string& topic, const std::string& payload) {
  const std::size_t bodySize = 2 + topic.size() + payload.size();
  if (topic.size() > 0xFFFF || bodySize > MAX_BODY) return TAppend::Failed;
  std::string record(HEADER + bodySize, '\0');
  PutLe(record.data(), bodySize, 4);
  PutLe(record.data() + HEADER, topic.size(), 2);
  std::memcpy(record.data() + HEADER + 2, topic.data(), topic.size());
  std::memcpy(record.data() + HEADER + 2 + topic.size(), payload.data(), payload.size());
  PutLe(record.data() + 4, Crc32(record.data() + HEADER, bodySize), 4);

  const std::lock_guard lock(FMutex);
  if (FBytes + record.size() > FMaxBytes) return TAppend::Full;
  const auto current = FSegments.find(FWriterSegment);
  if (current != FSegments.end() && current->second > 0 && current->second + record.size() > FSegmentTarget) {
    FWriter.reset();
    ++FWriterSegment;
  }
  if (!OpenWriter()) return TAppend::Failed;
  std::uint64_t& size = FSegments[FWriterSegment];
  if (!WriteAll(FWriter.get(), record.data(), record.size())) {
    // Nothing half-written stays behind to be taken for a record.
    [[maybe_unused]] const int rc = ::ftruncate(FWriter.get(), static_cast<off_t>(size));
    return TAppend::Failed;
  }
  size += record.size();
  FBytes += record.size();
  ++FPending;
  return TAppend::Stored;
}

std::optional<TSpool::TRecord> TSpool::Read(const TPos& pos) {
  const std::lock_guard lock(FMutex);
  std::uint64_t segment = pos.Segment, offset = pos.Offset;
  for (;;) {
    const auto it = FSegments.lower_bound(segment);
    if (it == FSegments.end()) return std::nullopt;
    if (it->first != segment) {
      segment = it->first;
      offset = 0;
    }
    if (offset + HEADER <= it->second) break;
    if (std::next(it) == FSegments.end()) return std::nullopt;
    segment = std::next(it)->first;
    offset = 0;
  }
  const int fd = ReadFd(segment);
  std::array<char, HEADER> head{};
  if (fd < 0 || !ReadExactly(fd, head.data(), HEADER, offset)) return std::nullopt;
  const std::uint64_t length = GetLe(head.data(), 4);
  if (length < 2 || length > MAX_BODY) return std::nullopt;
  std::string body(length, '\0');
  if (!ReadExactly(fd, body.data(), length, offset + HEADER)) return std::nullopt;
  const std::size_t topicSize = GetLe(body.data(), 2);
  if (2 + topicSize > length) return std::nullopt;
  return TRecord{body.substr(2, topicSize), body.substr(2 + topicSize), {segment, offset + HEADER + length}};
}

void TSpool::Acknowledge(const TPos& upTo, std::uint64_t records) {
  const std::lock_guard lock(FMutex);
  FCursor = upTo;
  FPending -= std::min(FPending, records);
  // The end of a segment is the start of the next one.
  if (const auto it = FSegments.find(FCursor.Segment);
      it != FSegments.end() && FCursor.Offset >= it->second && std::next(it) != FSegments.end()) {
    FCursor = {std::next(it)->first, 0};
  }
  while (!FSegments.empty() && FSegments.begin()->first < FCursor.Segment) DropSegment(FSegments.begin()->first);
  // All published: the last segment goes too, and the next report begins a new one.
  const auto current = FSegments.find(FWriterSegment);
  if (current != FSegments.end() && FCursor == TPos{FWriterSegment, current->second} && current->second > 0) {
    DropSegment(FWriterSegment);
    ++FWriterSegment;
    FCursor = {FWriterSegment, 0};
  }
  WriteCursor();
}

TSpool::TPos TSpool::Cursor() const {
  const std::lock_guard lock(FMutex);
  return FCursor;
}

std::uint64_t TSpool::Bytes() const {
  const std::lock_guard lock(FMutex);
  return FBytes;
}

std::uint64_t TSpool::Pending() const {
  const std::lock_guard lock(FMutex);
  return FPending;
}

}  // namespace kassiro::bridge
