// The bridge's reading of the server's report journal: from its own position on, each
// report of the configured ECRs goes into the spool, with its journal number as "seq".
// The position (the last number spooled) is kept in the spool's folder and written only
// after the spool has flushed what came up to it, so a kill or a power cut at any moment
// loses nothing: at worst the reports after the last saved position are spooled again,
// under the same seq. A full spool makes the reading wait; the journal holds the rest.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/ReportJournal.h"
#include "ecrbridge/BridgeLog.h"
#include "ecrbridge/Charset.h"
#include "ecrbridge/Spool.h"
#include "platform/WakeEvent.h"

namespace kassiro::bridge {

struct TFeedOptions {
  std::filesystem::path JournalDir;
  std::filesystem::path PositionFile;  // in the spool's folder
  std::string Shop;
  std::vector<std::uint8_t> Ecrs;
  std::chrono::milliseconds Poll{10};  // how often a journal with nothing new is looked at
};

class TJournalFeed {
 public:
  TJournalFeed(TFeedOptions options, const TCharset& charset, TSpool& spool, TBridgeLog& log);

  // The last number spooled by an earlier run (0: none); a position that cannot be read is
  // said and taken as none, so everything is published again rather than lost.
  std::uint64_t Position() const { return FPosition; }

  void Run();   // until Stop
  void Stop();  // from any thread

 private:
  bool Spool(const TJournalRecord& r);  // false: the spool took it not
  void Save(std::uint64_t seq);
  bool Wanted(std::uint8_t ecr) const;

  const TFeedOptions FOptions;
  const TCharset& FCharset;
  TSpool& FSpool;
  TBridgeLog& FLog;
  std::uint64_t FPosition = 0;
  bool FRefusedLogged = false;
  platform::TWakeEvent FWake;
  std::atomic<bool> FStopping{false};
};

}  // namespace kassiro::bridge
