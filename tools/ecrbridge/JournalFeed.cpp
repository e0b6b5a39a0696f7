#include "ecrbridge/JournalFeed.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "ecrbridge/ReportJson.h"
#include "platform/File.h"
#include "util/Trim.h"
#include "util/WholeNumber.h"

namespace kassiro::bridge {

namespace {

constexpr int BATCH = 1000;  // records spooled between two saves of the position
constexpr auto FULL_WAIT = std::chrono::milliseconds(100);
constexpr std::size_t POSITION_WIDTH = 20;

std::optional<std::uint64_t> ReadPosition(const std::filesystem::path& file, bool& damaged) {
  std::error_code ec;
  platform::TFile f = platform::OpenFile(file, {}, ec);
  if (!f.Valid()) return std::nullopt;
  std::array<std::uint8_t, POSITION_WIDTH + 1> b{};
  const auto got = f.ReadAt(0, b);
  const auto n = WholeNumber<std::uint64_t>(Trim(std::string_view(reinterpret_cast<const char*>(b.data()), got.bytes)));
  damaged = !n;
  return n;
}

}  // namespace

TJournalFeed::TJournalFeed(TFeedOptions options, const TCharset& charset, TSpool& spool, TBridgeLog& log)
    : FOptions(std::move(options)), FCharset(charset), FSpool(spool), FLog(log) {
  bool damaged = false;
  FPosition = ReadPosition(FOptions.PositionFile, damaged).value_or(0);
  if (damaged) {
    FLog.Line("the journal position in " + FOptions.PositionFile.string() +
              " cannot be read; the journal is read from its oldest record");
  }
}

void TJournalFeed::Stop() {
  FStopping = true;
  FWake.Set();
}

bool TJournalFeed::Wanted(std::uint8_t ecr) const {
  return std::find(FOptions.Ecrs.begin(), FOptions.Ecrs.end(), ecr) != FOptions.Ecrs.end();
}

bool TJournalFeed::Spool(const TJournalRecord& r) {
  const auto received = std::chrono::system_clock::time_point(std::chrono::milliseconds(r.TimeMs));
  TReport report = ReadReport(r.Ecr, r.Event, r.Text(), FCharset, received);
  report.Seq = r.Seq;
  switch (FSpool.Append(ReportTopic(FOptions.Shop, report), ReportJson(FOptions.Shop, report))) {
    case TSpool::TAppend::Written:
      if (FRefusedLogged) FLog.Line("the spool takes reports again; reading the journal on from " + std::to_string(r.Seq));
      FRefusedLogged = false;
      return true;
    case TSpool::TAppend::Full:
      if (!FRefusedLogged) FLog.Line("the spool is full: the journal is read on once the broker takes some");
      break;
    case TSpool::TAppend::Failed:
      if (!FRefusedLogged) FLog.Line("cannot write the spool: " + std::string(std::strerror(errno)) + "; trying again");
      break;
  }
  FRefusedLogged = true;
  return false;
}

// Fixed width at the file's start: a write never leaves part of an older, longer number.
void TJournalFeed::Save(std::uint64_t seq) {
  std::string text = std::to_string(seq);
  text.resize(POSITION_WIDTH, ' ');
  text += '\n';
  std::error_code ec;
  platform::TFile f = platform::OpenFile(FOptions.PositionFile, {platform::TAccess::Write, true, false, false,
                                                                 std::filesystem::perms(0600)},
                                         ec);
  if (f.Valid()) ec = f.WriteAllAt(0, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  if (ec) FLog.Line("cannot save the journal position in " + FOptions.PositionFile.string() + ": " + ec.message());
  FPosition = seq;
}

void TJournalFeed::Run() {
  TJournalReader reader(FOptions.JournalDir, FPosition + 1, [this](const std::string& what) {
    FLog.Line("journal: " + what);
  });
  std::optional<TJournalRecord> refused;  // read, and not yet taken by the spool
  while (!FStopping) {
    std::uint64_t last = FPosition;
    int spooled = 0;
    bool full = false;
    while (spooled < BATCH && !FStopping) {
      auto r = refused ? std::exchange(refused, std::nullopt) : reader.Next();
      if (!r) break;
      if (Wanted(r->Ecr)) {
        if (!Spool(*r)) {
          refused = std::move(r);
          full = true;
          break;
        }
        ++spooled;
      }
      last = r->Seq;
    }
    if (last != FPosition) {
      if (spooled > 0) FSpool.Flush();  // on disk before the position passes it
      Save(last);
    }
    if (spooled < BATCH || full) FWake.Wait(full ? FULL_WAIT : FOptions.Poll);
  }
}

}  // namespace kassiro::bridge
