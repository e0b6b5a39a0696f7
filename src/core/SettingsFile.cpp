#include "core/SettingsFile.h"

#include <algorithm>

namespace kassiro {

TSettingsFile::TSettingsFile(const std::filesystem::path& fileName)
    : FFile(fileName, INI_STRU_SIZE) {
  if (FFile.Unique()) FWriter = std::thread([this] { WriterLoop(); });
}

TSettingsFile::~TSettingsFile() {
  {
    std::lock_guard lock(FMutex);
    FStop = true;
  }
  FWake.notify_all();
  if (FWriter.joinable()) FWriter.join();
}

bool TSettingsFile::Load(TIniStru& ini) {
  TIniStruImage image{};
  std::lock_guard lock(FWriteMutex);
  if (!FFile.Load(image)) return false;
  ini = DecodeIniStru(image);
  return true;
}

// Snapshots are taken and written under FWriteMutex, so an older snapshot is never
// written after a newer one.
void TSettingsFile::WriteNewest(const std::optional<TIniStruImage>& now) {
  std::lock_guard write(FWriteMutex);
  std::optional<TIniStruImage> image = now;
  std::uint64_t upTo = 0;
  {
    std::lock_guard lock(FMutex);
    if (!image) image = FPending;
    FPending.reset();  // older than, or the same as, what is written now
    upTo = FHandedOver;
  }
  if (image) FFile.Save(*image);
  {
    std::lock_guard lock(FMutex);
    FWritten = std::max(FWritten, upTo);
  }
  FDone.notify_all();
}

void TSettingsFile::Save(const TIniStru& ini) { WriteNewest(EncodeIniStru(ini)); }

void TSettingsFile::SaveLater(const TIniStru& ini) {
  if (!FWriter.joinable()) return;
  {
    std::lock_guard lock(FMutex);
    FPending = EncodeIniStru(ini);
    ++FHandedOver;
  }
  FWake.notify_one();
}

void TSettingsFile::Flush() {
  std::unique_lock lock(FMutex);
  FDone.wait(lock, [this] { return FWritten >= FHandedOver; });
}

void TSettingsFile::WriterLoop() {
  for (;;) {
    {
      std::unique_lock lock(FMutex);
      FWake.wait(lock, [this] { return FPending.has_value() || FStop; });
      if (!FPending) return;  // stopping with nothing left to write
    }
    WriteNewest(std::nullopt);
  }
}

}  // namespace kassiro
