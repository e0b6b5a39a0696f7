// The settings record file (".STG"): the settings record stored scrambled and
// check-summed, held open and locked for the program's whole life so that a second
// copy of the program can't use it.
//
// Saving from the polling thread (a new receipt number) must not hold the line while
// the disk flushes, so SaveLater hands a snapshot to a writer thread that writes the
// newest snapshot it has; Save and Flush wait for the disk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "core/TheNewDefs.h"
#include "util/CodeStru.h"

namespace kassiro {

class TSettingsFile {
 public:
  explicit TSettingsFile(const std::filesystem::path& fileName);
  ~TSettingsFile();  // writes what is still pending
  TSettingsFile(const TSettingsFile&) = delete;
  TSettingsFile& operator=(const TSettingsFile&) = delete;

  // False when another copy holds the file (or it could be neither opened nor created).
  bool Unique() const { return FFile.Unique(); }

  // Replaces ini when the file is complete and its checksum matches; false otherwise
  // (an empty, short or damaged file leaves ini as it was).
  bool Load(TIniStru& ini);
  // Writes ini now; returns when it is on disk.
  void Save(const TIniStru& ini);
  // Hands a copy of ini to the writer thread and returns at once.
  void SaveLater(const TIniStru& ini);
  // Returns when every snapshot handed over so far is on disk.
  void Flush();

 private:
  void WriterLoop();
  // Writes `now`, or else the pending snapshot, and drops the pending one.
  void WriteNewest(const std::optional<TIniStruImage>& now);

  TCodeStru FFile;
  std::mutex FWriteMutex;  // one writer of the file at a time
  std::mutex FMutex;       // guards the hand-over below
  std::condition_variable FWake;
  std::condition_variable FDone;
  std::optional<TIniStruImage> FPending;
  std::uint64_t FHandedOver = 0;
  std::uint64_t FWritten = 0;
  bool FStop = false;
  std::thread FWriter;
};

}  // namespace kassiro
