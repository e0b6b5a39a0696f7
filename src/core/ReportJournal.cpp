#include "core/ReportJournal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <system_error>

#include "core/CodeNames.h"
#include "platform/LocalTime.h"
#include "util/Crc32.h"
#include "util/HexText.h"
#include "util/JsonText.h"
#include "util/WholeNumber.h"

namespace kassiro {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view MAGIC = "KRJ1";
constexpr std::size_t HEAD = 12;  // magic, length, CRC
constexpr std::size_t FIXED = 18;  // seq, time, ECR, event
constexpr std::size_t MAX_BODY = FIXED + 255 + 5;
constexpr std::string_view SUFFIX = ".krj";
constexpr std::string_view STORED_FILE = "stored";
constexpr auto PRUNE_EVERY = std::chrono::minutes(1);
constexpr auto FOLDER_PERMS = fs::perms(0750);
constexpr auto FILE_PERMS = fs::perms(0640);

void PutLe(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t GetLe(std::string_view at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint64_t(static_cast<unsigned char>(at[i])) << (8 * i);
  return v;
}

std::optional<std::uint64_t> SegmentNumber(const fs::path& p) {
  if (p.extension() != SUFFIX) return std::nullopt;
  const auto n = WholeNumber<std::uint64_t>(p.stem().string());
  if (!n || *n == 0) return std::nullopt;
  return n;
}

// The segments in the folder: first number -> path.
std::map<std::uint64_t, fs::path> Segments(const fs::path& dir) {
  std::map<std::uint64_t, fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (const auto n = SegmentNumber(it->path())) out.emplace(*n, it->path());
  }
  return out;
}

std::string Range(std::uint64_t from, std::uint64_t to) {
  return from == to ? std::to_string(from) : std::to_string(from) + " to " + std::to_string(to);
}

std::string TimeText(std::int64_t ms) {
  const std::tm t = platform::UtcTm(static_cast<std::time_t>(ms / 1000));
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

std::string Event(const TJournalRecord& r) {
  const std::uint8_t st = r.Message.empty() ? 0 : static_cast<std::uint8_t>(r.Message[0]);
  const std::string_view name = EventName(st, r.Event);
  return name.empty() ? std::to_string(r.Event) : std::string(name);
}

}  // namespace

std::string JournalSegmentName(std::uint64_t firstSeq) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%020llu", static_cast<unsigned long long>(firstSeq));
  return std::string(buf) + std::string(SUFFIX);
}

std::string EncodeJournalRecord(const TJournalRecord& r) {
  std::string body;
  body.reserve(FIXED + r.Message.size());
  PutLe(body, r.Seq, 8);
  PutLe(body, static_cast<std::uint64_t>(r.TimeMs), 8);
  body.push_back(static_cast<char>(r.Ecr));
  body.push_back(static_cast<char>(r.Event));
  body += r.Message;
  std::string out(MAGIC);
  PutLe(out, body.size(), 4);
  PutLe(out, Crc32(body.data(), body.size()), 4);
  return out + body;
}

std::optional<TJournalRecord> DecodeJournalRecord(std::string_view bytes, std::size_t& used) {
  if (bytes.size() < HEAD || bytes.substr(0, 4) != MAGIC) return std::nullopt;
  const std::uint64_t length = GetLe(bytes.substr(4), 4);
  if (length < FIXED || length > MAX_BODY || bytes.size() < HEAD + length) return std::nullopt;
  const std::string_view body = bytes.substr(HEAD, length);
  if (Crc32(body.data(), body.size()) != GetLe(bytes.substr(8), 4)) return std::nullopt;
  TJournalRecord r;
  r.Seq = GetLe(body, 8);
  r.TimeMs = static_cast<std::int64_t>(GetLe(body.substr(8), 8));
  r.Ecr = static_cast<std::uint8_t>(body[16]);
  r.Event = static_cast<std::uint8_t>(body[17]);
  r.Message = std::string(body.substr(FIXED));
  used = HEAD + length;
  return r;
}

std::string JournalRecordText(const TJournalRecord& r) {
  return TimeText(r.TimeMs) + " #" + std::to_string(r.Seq) + " ECR " + std::to_string(r.Ecr) + " " + Event(r) +
         " " + std::string(r.Text());
}

std::string JournalRecordJson(const TJournalRecord& r) {
  return "{\"seq\":" + std::to_string(r.Seq) + ",\"time\":" + JsonString(TimeText(r.TimeMs)) +
         ",\"ecr\":" + std::to_string(r.Ecr) + ",\"event\":" + JsonString(Event(r)) +
         ",\"code\":" + std::to_string(r.Event) + ",\"text\":" + JsonString(r.Text()) + "}";
}

// ---- The writer ----

TReportJournal::TReportJournal(TOptions options) : FOptions(std::move(options)) {}

std::variant<std::unique_ptr<TReportJournal>, std::string> TReportJournal::Open(TOptions options) {
  std::error_code ec;
  const bool made = fs::create_directory(options.Dir, ec);
  if (ec) return "cannot make the report journal's folder " + options.Dir.string() + ": " + ec.message();
  if (!fs::is_directory(options.Dir, ec) || fs::is_symlink(options.Dir, ec)) {
    return "the report journal's place " + options.Dir.string() + " is not a folder";
  }
  // Readers come by the group; nobody else reads what the registers reported.
  fs::permissions(options.Dir, FOLDER_PERMS, ec);
  if (ec && made) return "cannot restrict the report journal's folder " + options.Dir.string() + ": " + ec.message();
  std::unique_ptr<TReportJournal> j(new TReportJournal(std::move(options)));
  j->Recover();
  const fs::path stored = j->FOptions.Dir / STORED_FILE;
  j->FStoredFile = platform::OpenFile(stored, {platform::TAccess::ReadWrite, true, false, false, FILE_PERMS}, ec);
  if (!j->FStoredFile.Valid()) return "cannot open " + stored.string() + ": " + ec.message();
  fs::permissions(stored, FILE_PERMS, ec);
  std::string last;
  PutLe(last, j->FStored, 8);
  j->FStoredFile.WriteAllAt(0, std::span(reinterpret_cast<const std::uint8_t*>(last.data()), last.size()));
  j->FStoredFile.FlushToDisk();
  j->FThread = std::jthread([p = j.get()](std::stop_token stop) { p->Run(stop); });
  return j;
}

// The last intact record of the last segment that has one; a later segment's name is a
// floor as well, so a number is never given twice even when that segment is damaged.
void TReportJournal::Recover() {
  const auto segments = Segments(FOptions.Dir);
  std::uint64_t last = 0;
  for (const auto& [first, path] : segments) {
    std::error_code ec;
    FSegments[first] = fs::file_size(path, ec);
    last = std::max(last, first - 1);
  }
  for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
    std::error_code ec;
    platform::TFile f = platform::OpenFile(it->second, {}, ec);
    if (!f.Valid()) continue;
    std::string bytes(FSegments[it->first], '\0');
    const auto got = f.Read(std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
    bytes.resize(got.bytes);
    std::uint64_t found = 0;
    for (std::size_t at = 0; at + HEAD <= bytes.size();) {
      std::size_t used = 0;
      if (const auto r = DecodeJournalRecord(std::string_view(bytes).substr(at), used)) {
        found = std::max(found, r->Seq);
        at += used;
      } else {
        ++at;  // past damage to the next intact record
      }
    }
    if (found != 0) {
      last = std::max(last, found);
      break;
    }
  }
  // The number last said to be on disk is a floor too: its segment may be what was lost.
  std::error_code ec;
  platform::TFile stored = platform::OpenFile(FOptions.Dir / STORED_FILE, {}, ec);
  std::array<std::uint8_t, 8> b{};
  if (stored.Valid() && stored.ReadAt(0, b).bytes == b.size()) {
    last = std::max(last, GetLe(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()), 8));
  }
  FNext = last + 1;
  FStored = last;
  FFirst = segments.empty() ? 0 : segments.begin()->first;
}

TReportJournal::~TReportJournal() {
  FThread.request_stop();
  FWake.notify_all();
  if (FThread.joinable()) FThread.join();
}

std::uint64_t TReportJournal::Append(std::uint8_t ecr, std::uint8_t event, std::string_view message) {
  TJournalRecord r;
  r.TimeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  r.Ecr = ecr;
  r.Event = event;
  r.Message = std::string(message);
  std::lock_guard lock(FMutex);
  r.Seq = FNext++;
  if (FQueued.empty()) FQueuedFirst = r.Seq;
  FQueued += EncodeJournalRecord(r);
  FWake.notify_all();
  return r.Seq;
}

void TReportJournal::Settle() {
  std::unique_lock lock(FMutex);
  const std::uint64_t upTo = FNext - 1;
  FStoredCv.wait(lock, [&] { return FStored >= upTo; });
}

TReportJournal::TState TReportJournal::State() const {
  std::lock_guard lock(FMutex);
  TState s;
  s.Last = FStored;
  s.First = FFirst != 0 && FFirst <= FStored ? FFirst : 0;
  for (const auto& [first, bytes] : FSegments) s.Bytes += bytes;
  if (s.First == 0) s.Last = 0;
  return s;
}

void TReportJournal::Say(const std::string& line) const {
  if (FOptions.Log) FOptions.Log("Report journal: " + line);
}

void TReportJournal::Run(std::stop_token stop) {
  auto lastFlush = std::chrono::steady_clock::now() - FOptions.FlushInterval;
  std::unique_lock lock(FMutex);
  for (;;) {
    FWake.wait(lock, stop, [this] { return !FQueued.empty(); });
    if (FQueued.empty()) return;  // asked to end, nothing left
    // Group commit: what comes within the interval joins this flush.
    const auto due = lastFlush + FOptions.FlushInterval;
    if (!stop.stop_requested() && std::chrono::steady_clock::now() < due) {
      FWake.wait_until(lock, stop, due, [] { return false; });
    }
    std::string bytes = std::move(FQueued);
    FQueued.clear();
    const std::uint64_t first = FQueuedFirst, last = FNext - 1;
    lock.unlock();
    const bool rolled = WriteBatch(bytes, first, last);
    lastFlush = std::chrono::steady_clock::now();
    if (rolled || lastFlush - FLastPrune >= PRUNE_EVERY) Prune();
    // A failed write lets the reports out all the same, as a failed store of the receipt
    // numbers does: it is logged, and holding them would leave the clients stuck.
    if (FOptions.OnStored) FOptions.OnStored(last);
    lock.lock();
    FStored = last;
    FStoredCv.notify_all();
  }
}

// True when it began a new segment.
bool TReportJournal::WriteBatch(const std::string& bytes, std::uint64_t first, std::uint64_t last) {
  std::error_code ec;
  const auto size = FWriter.Valid() ? FWriter.Size().value_or(0) : 0;
  const bool roll = !FWriter.Valid() || size >= FOptions.SegmentBytes;
  if (roll) {
    const fs::path path = FOptions.Dir / JournalSegmentName(first);
    platform::TFile next =
        platform::OpenFile(path, {platform::TAccess::Write, true, true, false, FILE_PERMS}, ec);
    if (!next.Valid()) {
      Say("cannot open " + path.string() + ": " + ec.message() + "; records " + Range(first, last) + " are lost");
      return true;
    }
    std::error_code pe;
    fs::permissions(path, FILE_PERMS, pe);
    if (FWriter.Valid()) FWriter.FlushToDisk();
    FWriter = std::move(next);
    FWriterFirst = first;
    platform::FlushFolder(FOptions.Dir);
    std::lock_guard lock(FMutex);
    FSegments[first] = 0;
    if (FFirst == 0) FFirst = first;
  }
  ec = FWriter.WriteAll(bytes);
  if (!ec) ec = FWriter.FlushToDisk();
  {
    std::lock_guard lock(FMutex);
    FSegments[FWriterFirst] = FWriter.Size().value_or(FSegments[FWriterFirst] + bytes.size());
  }
  if (ec) {
    Say("cannot write records " + Range(first, last) + ": " + ec.message());
    FWriter = platform::TFile();  // the next batch goes into a new segment
    return roll;
  }
  std::string stored;
  PutLe(stored, last, 8);
  FStoredFile.WriteAllAt(0, std::span(reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size()));
  return roll;
}

// Oldest first: segments whose last write is older than the days kept, then while the
// whole is over its bound. The segment being written always stays.
void TReportJournal::Prune() {
  FLastPrune = std::chrono::steady_clock::now();
  const auto segments = Segments(FOptions.Dir);
  const auto limit = fs::file_time_type::clock::now() - std::chrono::hours(24) * FOptions.Days;
  std::uint64_t total = 0;
  for (const auto& [first, path] : segments) {
    std::error_code ec;
    total += fs::file_size(path, ec);
  }
  for (auto it = segments.begin(); it != segments.end(); ++it) {
    const auto next = std::next(it);
    if (next == segments.end() || it->first == FWriterFirst) break;
    std::error_code ec;
    const auto size = fs::file_size(it->second, ec);
    const auto written = fs::last_write_time(it->second, ec);
    const bool old = !ec && written < limit;
    if (!old && total <= FOptions.MaxBytes) break;
    if (!fs::remove(it->second, ec) || ec) continue;
    total -= std::min(total, size);
    Say("removed records " + Range(it->first, next->first - 1) + " (" + it->second.filename().string() +
        (old ? "): older than " + std::to_string(FOptions.Days) + " days"
             : "): the journal is over " + std::to_string(FOptions.MaxBytes) + " bytes"));
    std::lock_guard lock(FMutex);
    FSegments.erase(it->first);
    FFirst = next->first;
  }
}

// ---- The reader ----

TJournalReader::TJournalReader(fs::path dir, std::uint64_t from, std::function<void(const std::string&)> onProblem)
    : FDir(std::move(dir)), FExpected(std::max<std::uint64_t>(from, 1)), FOnProblem(std::move(onProblem)) {}

void TJournalReader::Problem(const std::string& what) {
  if (FOnProblem) FOnProblem(what);
}

std::optional<std::uint64_t> TJournalReader::StoredUpTo() const {
  std::error_code ec;
  platform::TFile f = platform::OpenFile(FDir / STORED_FILE, {}, ec);
  if (!f.Valid()) return std::nullopt;
  std::array<std::uint8_t, 8> b{};
  if (f.ReadAt(0, b).bytes != 8) return std::nullopt;
  return GetLe(std::string_view(reinterpret_cast<const char*>(b.data()), 8), 8);
}

std::optional<std::uint64_t> TJournalReader::SegmentFor(std::uint64_t seq) const {
  const auto segments = Segments(FDir);
  std::optional<std::uint64_t> found;
  for (const auto& [first, path] : segments) {
    if (first <= seq) found = first;
  }
  if (!found && !segments.empty()) found = segments.begin()->first;
  return found;
}

std::optional<std::uint64_t> TJournalReader::SegmentAfter(std::uint64_t first) const {
  const auto segments = Segments(FDir);
  const auto it = segments.upper_bound(first);
  if (it == segments.end()) return std::nullopt;
  return it->first;
}

bool TJournalReader::OpenSegment(std::uint64_t first) {
  std::error_code ec;
  FFile = platform::OpenFile(FDir / JournalSegmentName(first), {}, ec);
  FSegment = first;
  FOffset = 0;
  FBuffer.clear();
  FBufferAt = 0;
  if (!FFile.Valid()) Problem("cannot read " + JournalSegmentName(first) + ": " + ec.message());
  return FFile.Valid();
}

// Reads what the segment has past the buffer; false when nothing came.
bool TJournalReader::Fill() {
  std::array<std::uint8_t, 64 * 1024> chunk{};
  const std::uint64_t at = FBufferAt + FBuffer.size();
  const auto got = FFile.ReadAt(at, chunk);
  if (got.bytes == 0) return false;
  FBuffer.append(reinterpret_cast<const char*>(chunk.data()), got.bytes);
  return true;
}

std::optional<TJournalRecord> TJournalReader::Next() {
  if (FStoredSeen < FExpected) FStoredSeen = StoredUpTo().value_or(0);
  const std::uint64_t* stored = &FStoredSeen;
  if (*stored < FExpected) return std::nullopt;
  if (FSegment == 0) {
    const auto first = SegmentFor(FExpected);
    if (!first || !OpenSegment(*first)) return std::nullopt;
  }
  for (;;) {
    std::size_t at = static_cast<std::size_t>(FOffset - FBufferAt);
    std::size_t used = 0;
    auto r = DecodeJournalRecord(std::string_view(FBuffer).substr(at), used);
    if (!r && Fill()) continue;
    if (r) {
      FOffset += used;
      if (FOffset - FBufferAt > (1u << 20)) {  // keep the buffer small
        FBuffer.erase(0, static_cast<std::size_t>(FOffset - FBufferAt));
        FBufferAt = FOffset;
      }
      if (r->Seq < FExpected) continue;  // read before, or from before a skip
      if (r->Seq > *stored) {            // not yet on disk: read it again later
        FOffset -= used;
        return std::nullopt;
      }
      if (r->Seq > FExpected) {
        Problem("records " + Range(FExpected, r->Seq - 1) + " are missing; going on from " +
                std::to_string(r->Seq));
      }
      FExpected = r->Seq + 1;
      return r;
    }
    // No whole record here and nothing more to read.
    const std::size_t left = FBuffer.size() - at;
    const auto after = SegmentAfter(FSegment);
    if (left >= HEAD && std::string_view(FBuffer).substr(at, 4) == MAGIC &&
        GetLe(std::string_view(FBuffer).substr(at + 4), 4) <= MAX_BODY &&
        left < HEAD + GetLe(std::string_view(FBuffer).substr(at + 4), 4) && !after) {
      return std::nullopt;  // a record still being written
    }
    if (left == 0) {
      if (!after) return std::nullopt;  // the end, for now
      if (!OpenSegment(*after)) return std::nullopt;
      continue;
    }
    if (left < HEAD && !after) return std::nullopt;
    // Damage: find the next intact record in what is there.
    std::size_t skip = 1;
    for (; at + skip < FBuffer.size(); ++skip) {
      std::size_t u = 0;
      if (DecodeJournalRecord(std::string_view(FBuffer).substr(at + skip), u)) break;
    }
    Problem(JournalSegmentName(FSegment) + ": " + std::to_string(skip) + " damaged byte(s) at " +
            std::to_string(FOffset) + " skipped" + (at + skip >= FBuffer.size() ? " (the segment ends there)" : ""));
    FOffset += skip;
  }
}

}  // namespace kassiro
