#include "ecrbridge/Spool.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <system_error>

#include "platform/LockedFile.h"
#include "util/WholeNumber.h"

namespace kassiro::bridge {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t HEADER = 8;            // length and CRC
constexpr std::uint32_t MAX_BODY = 1 << 20;  // far above any report; more is damage
constexpr std::size_t CURSOR_SIZE = 20;      // segment, offset, CRC
constexpr int NEW_SEGMENT_TRIES = 3;         // segments tried by one append

void PutLe(char* at, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint64_t GetLe(const char* at, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(at[i]);
  return v;
}

std::span<std::uint8_t> AsBytes(char* data, std::size_t size) {
  return {reinterpret_cast<std::uint8_t*>(data), size};
}

bool ReadExactly(platform::TFile& file, char* to, std::size_t size, std::uint64_t offset) {
  return file.ReadAt(offset, AsBytes(to, size)).bytes == size;
}

// The whole of a regular file; nothing when it can't be read (errno tells why).
std::optional<std::string> ReadWhole(const fs::path& path) {
  std::error_code error;
  platform::TFile file = platform::OpenFile(path, {}, error);
  const std::optional<std::uint64_t> size = file.Size();
  if (!file.Valid() || !size || !file.Regular()) {
    errno = error ? error.value() : EISDIR;
    return std::nullopt;
  }
  std::string data(static_cast<std::size_t>(*size), '\0');
  const platform::TIoResult read = file.ReadAt(0, AsBytes(data.data(), data.size()));
  if (read.bytes != data.size()) {
    errno = read.error ? read.error.value() : EIO;
    return std::nullopt;
  }
  return data;
}

std::optional<std::uint64_t> SegmentNumber(const fs::path& p) {
  const std::string name = p.filename().string();
  if (name.size() != 16 || !name.ends_with(".seg")) return std::nullopt;
  if (!std::all_of(name.begin(), name.begin() + 12, [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return WholeNumber<std::uint64_t>(std::string_view(name).substr(0, 12));
}

// Where the record that starts at `at` ends, if an intact one starts there.
std::optional<std::size_t> IntactAt(std::string_view data, std::size_t at) {
  if (at > data.size() || data.size() - at < HEADER + 2) return std::nullopt;
  const std::uint64_t length = GetLe(data.data() + at, 4);
  if (length < 2 || length > MAX_BODY || length > data.size() - at - HEADER) return std::nullopt;
  const char* body = data.data() + at + HEADER;
  if (2 + GetLe(body, 2) > length) return std::nullopt;
  if (Crc32(body, length) != GetLe(data.data() + at + 4, 4)) return std::nullopt;
  return at + HEADER + length;
}

// The first intact record at or after `from`; the end of data when none is.
std::size_t NextIntact(std::string_view data, std::size_t from) {
  for (; from < data.size(); ++from)
    if (IntactAt(data, from)) return from;
  return data.size();
}

// A cursor inside a record goes back to the record's start: it is published again.
std::uint64_t RecordStart(std::string_view data, std::uint64_t offset) {
  std::size_t at = 0;
  while (at < offset && at < data.size()) {
    if (const auto end = IntactAt(data, at)) {
      if (*end > offset) return at;
      at = *end;
    } else {
      const std::size_t next = NextIntact(data, at + 1);
      if (next > offset) return offset;  // in damage: the scan from there skips it
      at = next;
    }
  }
  return std::min<std::uint64_t>(offset, data.size());
}

std::string Range(std::uint64_t from, std::uint64_t to) {
  return "bytes " + std::to_string(from) + " to " + std::to_string(to);
}

}  // namespace

TSpool::TSpool(fs::path dir, TOptions options, platform::TLockedFile lock)
    : FDir(std::move(dir)),
      FOptions(std::move(options)),
      FSegmentTarget(std::max<std::uint64_t>(FOptions.MaxBytes / 8, 4096)),
      FLock(std::move(lock)) {}

TSpool::~TSpool() {
  if (FFlusher.joinable()) {
    FFlusher.request_stop();
    FFlusher.join();
  }
  Flush();
}

std::variant<std::unique_ptr<TSpool>, std::string> TSpool::Open(const fs::path& dir, std::uint64_t maxBytes) {
  TOptions options;
  options.MaxBytes = maxBytes;
  return Open(dir, std::move(options));
}

std::variant<std::unique_ptr<TSpool>, std::string> TSpool::Open(const fs::path& dir, TOptions options) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return "cannot make the spool folder " + dir.string() + ": " + ec.message();
  platform::TLockedFile lock = platform::TLockedFile::Open(dir / "lock", fs::perms(0600));
  if (lock.Error() == std::errc::operation_would_block)
    return "the spool folder " + dir.string() + " is in use by another ecrbridge";
  if (!lock.Held()) return "cannot use the spool folder " + dir.string() + ": " + lock.Problem();
  std::unique_ptr<TSpool> spool(new TSpool(dir, std::move(options), std::move(lock)));
  if (auto error = spool->Recover()) return *error;
  if (spool->FOptions.FlushInterval.count() > 0 && !spool->FOptions.ManualFlush)
    spool->FFlusher = std::jthread([s = spool.get()](std::stop_token stop) { s->FlushLoop(stop); });
  return spool;
}

void TSpool::Step(std::string_view kind) const {
  if (FOptions.BeforeWrite) FOptions.BeforeWrite(kind);
}

std::string TSpool::SegmentName(std::uint64_t segment) const {
  char name[32];
  std::snprintf(name, sizeof name, "%012llu.seg", static_cast<unsigned long long>(segment));
  return name;
}

fs::path TSpool::SegmentPath(std::uint64_t segment) const { return FDir / SegmentName(segment); }

std::optional<std::string> TSpool::Recover() {
  const auto note = [&](const std::string& text) { FRepaired += (FRepaired.empty() ? "" : "; ") + text; };
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(FDir, ec)) {
    const auto n = SegmentNumber(entry.path());
    if (!n) continue;
    std::error_code typeEc;
    if (entry.is_regular_file(typeEc)) {
      FSegments[*n] = entry.file_size();
    } else {
      note(entry.path().filename().string() + " is not a file: left alone, the reports go into other segments");
    }
  }
  if (ec) return "cannot read the spool folder " + FDir.string() + ": " + ec.message();

  std::error_code opened;
  FCursorFile = platform::OpenFile(
      FDir / "cursor", {.Access = platform::TAccess::ReadWrite, .Create = true, .CreatePerms = fs::perms(0600)},
      opened);
  if (!FCursorFile.Valid()) return "cannot open " + (FDir / "cursor").string() + ": " + opened.message();
  std::array<char, CURSOR_SIZE> raw{};
  std::optional<TPos> saved;
  if (ReadExactly(FCursorFile, raw.data(), raw.size(), 0) &&
      GetLe(raw.data() + 16, 4) == Crc32(raw.data(), 16)) {
    saved = TPos{GetLe(raw.data(), 8), GetLe(raw.data() + 8, 8)};
  } else if (!FSegments.empty()) {
    note("the cursor was damaged: every report in the spool is published again");
  }

  const std::uint64_t first = FSegments.empty() ? 0 : FSegments.begin()->first;
  const std::uint64_t last = FSegments.empty() ? 0 : FSegments.rbegin()->first;
  FCursor = saved && saved->Segment >= 1 ? *saved : TPos{std::max<std::uint64_t>(first, 1), 0};
  // Segments before the cursor's were acknowledged (a crash came before their deletion).
  while (!FSegments.empty() && FSegments.begin()->first < FCursor.Segment) DropSegment(FSegments.begin()->first);
  // A cursor whose segment is gone starts at the next one: its offset says nothing there.
  if (!FSegments.contains(FCursor.Segment))
    FCursor = {FSegments.empty() ? FCursor.Segment : FSegments.begin()->first, 0};
  FWriterSegment = std::max(last, FCursor.Segment);

  for (auto it = FSegments.begin(); it != FSegments.end();) {
    if (auto error = RecoverSegment(it->first, it->second)) {
      note(*error);
      it = FSegments.erase(it);
      continue;
    }
    FBytes += it->second;
    ++it;
  }
  FWritten = FStored = {FWriterSegment, FSegments.contains(FWriterSegment) ? FSegments[FWriterSegment] : 0};
  WriteCursor();
  return std::nullopt;
}

// Counts a segment's intact records from the cursor on, says what is damaged and cuts
// off a damaged tail; an error text when the segment can't be read at all.
std::optional<std::string> TSpool::RecoverSegment(std::uint64_t segment, std::uint64_t& size) {
  const std::string name = SegmentName(segment);
  const auto data = ReadWhole(SegmentPath(segment));
  if (!data) return name + " cannot be read (" + std::strerror(errno) + "): its reports are lost";
  const auto note = [&](const std::string& text) { FRepaired += (FRepaired.empty() ? "" : "; ") + name + ": " + text; };
  std::uint64_t at = 0;
  if (segment == FCursor.Segment) {
    at = RecordStart(*data, FCursor.Offset);
    if (at != FCursor.Offset && FCursor.Offset <= data->size())
      note("the cursor pointed into a record at byte " + std::to_string(FCursor.Offset) + ": it is published again");
    FCursor.Offset = at;
  }
  while (at < data->size()) {
    if (const auto end = IntactAt(*data, at)) {
      ++FPending;
      at = *end;
      continue;
    }
    const std::size_t next = NextIntact(*data, at + 1);
    if (next < data->size()) {
      note(Range(at, next) + " damaged, skipped");
    } else {
      Step("truncate");
      std::error_code cut;
      fs::resize_file(SegmentPath(segment), at, cut);
      if (cut) return name + ": cannot cut off its damaged tail: " + cut.message();
      note("damaged from byte " + std::to_string(at) + ", cut off");
      size = at;
    }
    at = next;
  }
  return std::nullopt;
}

platform::TFile* TSpool::Reader(std::uint64_t segment, std::error_code& error) {
  if (!FReader.Valid() || FReaderSegment != segment) {
    FReader = platform::OpenFile(SegmentPath(segment), {}, FReaderError);
    FReaderSegment = segment;
  }
  error = FReaderError;
  return FReader.Valid() ? &FReader : nullptr;
}

bool TSpool::OpenWriter() {
  if (FWriter.Valid()) return true;
  Step("create");
  std::error_code error;
  FWriter = platform::OpenFile(SegmentPath(FWriterSegment),
                               {.Access = platform::TAccess::Write,
                                .Create = true,
                                .Append = true,
                                .CreatePerms = fs::perms(0600)},
                               error);
  if (!FWriter.Valid()) {
    errno = error.value();
    return false;
  }
  const std::optional<std::uint64_t> size = FWriter.Size();
  if (!size || !FWriter.Regular()) {
    (void)FWriter.Close();
    errno = EISDIR;
    return false;
  }
  // A file of that name that the spool did not know of (left by hand) is not appended to.
  if (const auto known = FSegments.find(FWriterSegment);
      *size != (known == FSegments.end() ? 0 : known->second)) {
    (void)FWriter.Close();
    errno = EEXIST;
    return false;
  }
  FSegments.try_emplace(FWriterSegment, 0);
  FNewSegment = true;
  return true;
}

// The writer goes on in a new segment; the old one is flushed with the next group.
void TSpool::NextWriter() {
  if (FWriter.Valid() && FOptions.FlushInterval.count() > 0) FUnflushed.push_back(std::move(FWriter));
  (void)FWriter.Close();
  ++FWriterSegment;
}

void TSpool::WriteCursor() {
  std::array<char, CURSOR_SIZE> raw{};
  PutLe(raw.data(), FCursor.Segment, 8);
  PutLe(raw.data() + 8, FCursor.Offset, 8);
  PutLe(raw.data() + 16, Crc32(raw.data(), 16), 4);
  Step("cursor");
  // A failed write leaves the old cursor: reports are published again, none is lost.
  (void)FCursorFile.WriteAllAt(0, AsBytes(raw.data(), raw.size()));
}

void TSpool::DropSegment(std::uint64_t segment) {
  const auto it = FSegments.find(segment);
  if (it == FSegments.end()) return;
  FBytes -= std::min(FBytes, it->second);
  FSegments.erase(it);
  if (FReaderSegment == segment) (void)FReader.Close();
  if (FWriterSegment == segment) (void)FWriter.Close();
  Step("unlink");
  std::error_code ec;
  fs::remove(SegmentPath(segment), ec);
}

TSpool::TAppend TSpool::Append(const std::string& topic, const std::string& payload) {
  const std::size_t bodySize = 2 + topic.size() + payload.size();
  if (topic.size() > 0xFFFF || bodySize > MAX_BODY) {
    errno = EMSGSIZE;
    return TAppend::Failed;
  }
  std::string record(HEADER + bodySize, '\0');
  PutLe(record.data(), bodySize, 4);
  PutLe(record.data() + HEADER, topic.size(), 2);
  std::memcpy(record.data() + HEADER + 2, topic.data(), topic.size());
  std::memcpy(record.data() + HEADER + 2 + topic.size(), payload.data(), payload.size());
  PutLe(record.data() + 4, Crc32(record.data() + HEADER, bodySize), 4);

  std::function<void()> stored;
  {
    const std::lock_guard lock(FMutex);
    if (FBytes + record.size() > FOptions.MaxBytes) return TAppend::Full;
    if (const auto current = FSegments.find(FWriterSegment);
        current != FSegments.end() && current->second > 0 && current->second + record.size() > FSegmentTarget) {
      NextWriter();
    }
    // A segment removed under the running bridge takes nothing more.
    if (FWriter.Unlinked()) NextWriter();
    bool open = OpenWriter();
    for (int tries = 1; !open && tries < NEW_SEGMENT_TRIES; ++tries) {
      NextWriter();
      open = OpenWriter();
    }
    if (!open) {
      const int error = errno;
      NextWriter();  // the next append tries new segments again
      errno = error;
      return TAppend::Failed;
    }
    std::uint64_t& size = FSegments[FWriterSegment];
    Step("append");
    if (const std::error_code error = FWriter.WriteAll(AsBytes(record.data(), record.size()))) {
      // Nothing half-written stays behind to be taken for a record.
      Step("truncate");
      (void)FWriter.Truncate(size);
      if (size > 0) NextWriter();  // the next report goes into a new segment
      errno = error.value();
      return TAppend::Failed;
    }
    size += record.size();
    FBytes += record.size();
    ++FPending;
    FWritten = {FWriterSegment, size};
    if (FOptions.FlushInterval.count() == 0) {
      FStored = FWritten;
      stored = FOnStored;
    }
  }
  FFlushDue.notify_one();
  if (stored) stored();
  return TAppend::Written;
}

// The record at pos in a segment whose readable part ends at limit; past damage to the
// next intact record, with what was skipped in damage. Moves pos to where it looked last.
std::optional<TSpool::TRecord> TSpool::ReadAt(TPos& pos, std::uint64_t limit, std::string& damage) {
  std::error_code readError;
  platform::TFile* const file = Reader(pos.Segment, readError);
  std::array<char, HEADER> head{};
  if (file && ReadExactly(*file, head.data(), HEADER, pos.Offset)) {
    const std::uint64_t length = GetLe(head.data(), 4);
    if (length >= 2 && length <= MAX_BODY && pos.Offset + HEADER + length <= limit) {
      std::string body(length, '\0');
      if (ReadExactly(*file, body.data(), length, pos.Offset + HEADER) &&
          Crc32(body.data(), length) == GetLe(head.data() + 4, 4)) {
        const std::size_t topicSize = GetLe(body.data(), 2);
        if (2 + topicSize <= length)
          return TRecord{body.substr(2, topicSize), body.substr(2 + topicSize),
                         {pos.Segment, pos.Offset + HEADER + length}};
      }
    }
  }
  // Damage: the rest of the readable part is searched for the next intact record, from
  // where an earlier search of the same damage stopped (new records only come after it).
  const std::uint64_t from = pos.Offset;
  const auto [searched, fresh] = FDamaged.try_emplace({pos.Segment, from}, from + 1);
  const std::uint64_t start = std::max(searched->second, from + 1);
  std::uint64_t next = limit;
  if (start < limit) {
    std::string rest(limit - start, '\0');
    if (file && ReadExactly(*file, rest.data(), rest.size(), start)) next = start + NextIntact(rest, 0);
  }
  searched->second = next;
  if (fresh) {
    damage += (damage.empty() ? "" : "; ") + SegmentName(pos.Segment) + ": " +
              (!file ? "cannot be read (" + readError.message() + "), " + Range(from, limit)
                      : Range(from, next) + " damaged") +
              ", skipped";
  }
  pos.Offset = next;
  return std::nullopt;
}

std::optional<TSpool::TRecord> TSpool::Read(const TPos& from) {
  std::string damage;
  std::optional<TRecord> record;
  {
    const std::lock_guard lock(FMutex);
    TPos pos = from;
    for (;;) {
      const auto it = FSegments.lower_bound(pos.Segment);
      if (it == FSegments.end() || it->first > FStored.Segment) break;
      if (it->first != pos.Segment) pos = {it->first, 0};
      const std::uint64_t limit = it->first == FStored.Segment ? std::min(FStored.Offset, it->second) : it->second;
      if (pos.Offset + HEADER <= limit) {
        record = ReadAt(pos, limit, damage);
        if (record) break;
        if (pos.Offset < limit) continue;
      }
      if (it->first >= FStored.Segment) break;
      pos = {it->first + 1, 0};
    }
  }
  if (!damage.empty() && FOptions.OnDamage) FOptions.OnDamage(damage);
  return record;
}

void TSpool::Acknowledge(const TPos& upTo, std::uint64_t records) {
  const std::lock_guard lock(FMutex);
  FCursor = upTo;
  FPending = FCursor >= FWritten ? 0 : FPending - std::min(FPending, records);
  // The end of a segment is the start of the next one.
  if (const auto it = FSegments.find(FCursor.Segment);
      it != FSegments.end() && FCursor.Offset >= it->second && std::next(it) != FSegments.end()) {
    FCursor = {std::next(it)->first, 0};
  }
  // All published: the last segment goes too, and the next report begins a new one.
  const bool all = FCursor == FWritten && FWritten.Offset > 0 && FWritten.Segment == FWriterSegment;
  if (all) FCursor = {FWriterSegment + 1, 0};
  // The cursor first: a crash before the deletions leaves segments the next open drops.
  WriteCursor();
  while (!FSegments.empty() && FSegments.begin()->first < FCursor.Segment) DropSegment(FSegments.begin()->first);
  if (all) {
    NextWriter();
    FWritten = std::max(FWritten, FCursor);
    FStored = std::max(FStored, FCursor);
  }
}

void TSpool::Flush() {
  const std::lock_guard flushing(FFlushMutex);
  if (FOptions.FlushInterval.count() == 0) return;
  std::vector<platform::TFile> files;
  bool folder = false;
  TPos target;
  {
    const std::lock_guard lock(FMutex);
    if (FStored >= FWritten && FUnflushed.empty()) return;
    target = FWritten;
    files = std::move(FUnflushed);
    FUnflushed.clear();
    if (FWriter.Valid()) files.push_back(FWriter.Duplicate());
    folder = std::exchange(FNewSegment, false);
  }
  // Outside the lock: appends and reads go on while the disk works.
  for (auto& f : files) {
    if (!f.Valid()) continue;
    Step("sync");
    (void)f.FlushToDisk();
  }
  if (folder) {
    Step("sync");
    (void)platform::FlushFolder(FDir);
  }
  std::function<void()> stored;
  {
    const std::lock_guard lock(FMutex);
    if (FStored < target) {
      FStored = target;
      stored = FOnStored;
    }
  }
  if (stored) stored();
}

void TSpool::FlushLoop(std::stop_token stop) {
  using TClock = std::chrono::steady_clock;
  auto last = TClock::now() - FOptions.FlushInterval;
  std::unique_lock lock(FMutex);
  while (!stop.stop_requested()) {
    if (!FFlushDue.wait(lock, stop, [&] { return FStored < FWritten || !FUnflushed.empty(); })) break;
    // Records written meanwhile join this group.
    FFlushDue.wait_until(lock, stop, last + FOptions.FlushInterval, [] { return false; });
    if (stop.stop_requested()) break;
    lock.unlock();
    Flush();
    last = TClock::now();
    lock.lock();
  }
}

void TSpool::OnStored(std::function<void()> callback) {
  const std::lock_guard lock(FMutex);
  FOnStored = std::move(callback);
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
