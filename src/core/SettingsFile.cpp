#include "core/SettingsFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

#include "core/LogFile.h"
#include "platform/LocalTime.h"

namespace kassiro {

namespace {

std::string Reason(int err) { return std::strerror(err); }

// "<file>.damaged-20261210-135212", or with "-2", "-3"... when that name is taken.
std::filesystem::path AsideName(const std::filesystem::path& file) {
  const std::time_t now = std::time(nullptr);
  const std::tm tm = platform::LocalTm(now);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  const std::string base = file.string() + ".damaged-" + stamp;
  std::filesystem::path name = base;
  std::error_code ec;
  for (int n = 2; std::filesystem::exists(name, ec) && n < 1000; ++n) {
    name = base + "-" + std::to_string(n);
  }
  return name;
}

// For the operator on stderr and in the log.
void Tell(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  LogAddLine(text);
}

}  // namespace

std::filesystem::path TSettingsFile::CopyNameFor(const std::filesystem::path& fileName) {
  return std::filesystem::path(fileName).replace_extension(".STB");
}

TSettingsFile::TSettingsFile(const std::filesystem::path& fileName)
    : FFile(fileName, INI_STRU_SIZE), FFirstStart(FFile.Created()) {
  if (!FFile.Unique()) return;  // the copy belongs to whoever holds the file
  FCopy.emplace(CopyNameFor(fileName), INI_STRU_SIZE);
  if (!FCopy->Unique()) {
    Tell("The copy " + FCopy->FileName().string() + " of the settings cannot be opened: " +
         FCopy->OpenProblem() + "; the settings are kept in one file only.");
  }
}

bool TSettingsFile::HeldByAnother() const {
  return !FFile.Unique() && FFile.OpenError() == std::errc::operation_would_block;
}

std::string TSettingsFile::OpenFailure() const {
  if (FFile.Unique()) return {};
  if (HeldByAnother()) return "The settings file " + FileName().string() + " is held by another copy.";
  return "Cannot open the settings file " + FileName().string() + ": " + FFile.OpenProblem();
}

TSettingsFile::TLoad TSettingsFile::LoadFrom(TCodeStru& file, TIniStruImage& image) {
  if (!file.Unique() || file.StoredSize() == 0) return TLoad::Empty;
  return file.Load(image) ? TLoad::Good : TLoad::Damaged;
}

bool TSettingsFile::Load(TIniStru& ini) {
  std::lock_guard lock(FMutex);
  TIniStruImage image{};
  const TLoad file = LoadFrom(FFile, image);
  if (file == TLoad::Good) {
    ini = DecodeIniStru(image);
    return true;
  }
  if (!FFile.Unique()) return false;
  const TLoad copy = FCopy ? LoadFrom(*FCopy, image) : TLoad::Empty;
  if (copy == TLoad::Good) {
    LogAddLine("The settings file " + FileName().string() +
               (file == TLoad::Empty ? " is empty" : " is damaged") +
               "; the settings were restored from its copy " + FCopy->FileName().string() + ".");
    ini = DecodeIniStru(image);
    SaveLocked(image);
    return true;
  }
  // Only a file that this start made is empty for want of a first save: on disk, every
  // save leaves it whole, so an empty one that was there before lost its record.
  const bool fresh = file == TLoad::Empty && FFirstStart;
  if (fresh && copy == TLoad::Empty) {
    SaveLocked(EncodeIniStru(ini));  // at once: from now on an empty file is damage
    return false;
  }
  if (!fresh) KeepAside(FileName());
  if (copy == TLoad::Damaged) KeepAside(FCopy->FileName());
  const bool defaults = EncodeIniStru(ini) == EncodeIniStru(TIniStru{});
  const std::string state = file == TLoad::Empty ? " is empty" : " is damaged";
  Tell("The settings file " + FileName().string() +
       (copy == TLoad::Damaged ? (file == TLoad::Damaged ? " and its copy are damaged" : state + " and its copy is damaged")
                               : state + " and has no good copy") +
       "; the server goes on with " + (defaults ? "the default settings." : "the settings it holds."));
  SaveLocked(EncodeIniStru(ini));  // said once: the next start finds good files
  return false;
}

// A copy under another name, so the operator can still look at what was there.
void TSettingsFile::KeepAside(const std::filesystem::path& damaged) const {
  const std::filesystem::path aside = AsideName(damaged);
  std::error_code ec;
  std::filesystem::copy_file(damaged, aside, ec);
  if (ec) {
    Tell("The damaged file " + damaged.string() + " could not be kept as " + aside.string() +
         ": " + ec.message());
  } else {
    Tell("The damaged file " + damaged.string() + " was kept as " + aside.string() + ".");
  }
}

bool TSettingsFile::Save(const TIniStru& ini) {
  const TIniStruImage image = EncodeIniStru(ini);
  std::lock_guard lock(FMutex);
  return SaveLocked(image);
}

// The lock sits on the file, not on its name: once the name leads elsewhere, a second
// copy could take it. So the file at the name is taken and held again before it is
// written.
void TSettingsFile::HoldFileAtPath() {
  if (FFile.StillAtPath()) return;
  const std::string what =
      "The settings file " + FileName().string() + " was removed or replaced while the server ran";
  if (FFile.Reopen()) {
    LogAddLine(what + "; it is written anew and held again.");
  } else {
    LogAddLine(what + " and cannot be held again: " + FFile.OpenProblem());
  }
}

bool TSettingsFile::SaveLocked(const TIniStruImage& image) {
  if (!FFile.Unique()) return false;
  HoldFileAtPath();
  bool copied = true;
  int err = 0;
  if (FCopy && FCopy->Unique()) {
    if (!FCopy->StillAtPath()) FCopy->Reopen();
    copied = FCopy->Save(image);  // first: the file itself may be torn only while this is whole
    if (!copied) err = errno;
  }
  const bool saved = FFile.Save(image);
  if (!saved) err = errno;
  const bool ok = copied && saved;
  if (saved) FFirstStart = false;
  if (ok == !FWriteFailed) return ok;
  FWriteFailed = !ok;
  LogAddLine(ok ? "The settings file " + FileName().string() + " is written again."
                : "The settings file " + FileName().string() + " cannot be written: " + Reason(err));
  return ok;
}

}  // namespace kassiro
