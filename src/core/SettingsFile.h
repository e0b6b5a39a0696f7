// The settings record file (".STG"): the settings record stored scrambled and
// check-summed, held open and locked for the program's whole life so that a second
// copy of the program can't use it.
//
// Nothing of it is ever lost to a crash, a power cut or a damaged file:
// - A second copy of the last good record, in the same format, lies beside it
//   (".STB"). Every save writes and flushes that copy first and the file itself after
//   it, so at any moment at least one of the two holds a whole record.
// - A file that is damaged, or empty though it was there before this start, is read
//   from the copy. Only when neither is good is the
//   damaged file kept aside under another name, which is said on stderr and in the log;
//   the record in memory (the defaults at the first start) is then written to both.
// - Save returns once both are on disk: a receipt number saved this way is never
//   handed out again after a restart, whenever the process was killed.
// - A file that was removed or replaced while the program ran is noticed at the next
//   save, logged, written anew at its path and held there, so a second copy stays out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "core/CodeStru.h"
#include "core/TheNewDefs.h"

namespace kassiro {

class TSettingsFile {
 public:
  explicit TSettingsFile(const std::filesystem::path& fileName);
  TSettingsFile(const TSettingsFile&) = delete;
  TSettingsFile& operator=(const TSettingsFile&) = delete;

  // The copy beside a settings file: the same name with the extension ".STB".
  static std::filesystem::path CopyNameFor(const std::filesystem::path& fileName);

  // False when this copy of the program does not hold the file.
  bool Unique() const { return FFile.Unique(); }
  // The file is held by another copy of the program: the one reason to end silently.
  bool HeldByAnother() const;
  // Why the file could not be opened or created, for the operator; "" while held.
  std::string OpenFailure() const;
  const std::filesystem::path& FileName() const { return FFile.FileName(); }

  // Replaces ini with the stored record (from the copy when the file is damaged) and
  // returns true; false when nothing good is stored, leaving ini as it was.
  bool Load(TIniStru& ini);
  // Writes ini to the copy and then to the file; returns once both are on disk, true
  // when they got there. A failure is logged once until a save succeeds again.
  bool Save(const TIniStru& ini);

 private:
  enum class TLoad { Good, Empty, Damaged };
  static TLoad LoadFrom(TCodeStru& file, TIniStruImage& image);
  bool SaveLocked(const TIniStruImage& image);
  void HoldFileAtPath();
  void KeepAside(const std::filesystem::path& damaged) const;

  mutable std::mutex FMutex;  // one load or save at a time
  TCodeStru FFile;
  bool FFirstStart;  // this copy made the file: empty until its first save
  std::optional<TCodeStru> FCopy;  // only while the file itself is held
  bool FWriteFailed = false;
};

}  // namespace kassiro
