#pragma once
// A file of the program's own held open under an exclusive lock for the handle's life:
// a second holder, in this process or another, is refused at once instead of waiting.
// That is how a program allows one running copy per settings file or spool.
//
// A second platform provides Open with its own locking (LockFileEx on Windows); the lock
// must be dropped when the handle closes or the process dies.

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/File.h"

namespace kassiro::platform {

class TLockedFile {
 public:
  // Opens path read-write as a file of the program's own (never a link, a FIFO or a
  // device; see OwnFile.h), creating it with createPerms when missing, and locks it.
  static TLockedFile Open(const std::filesystem::path& path,
                          std::filesystem::perms createPerms = std::filesystem::perms(0644));

  bool Held() const { return FFile.Valid(); }
  TFile& File() { return FFile; }
  const TFile& File() const { return FFile; }
  // This open made the file: it did not exist before.
  bool Created() const { return FCreated; }
  // Why it is not held: std::errc::operation_would_block when another holder has the
  // lock, else why the open failed (as OwnFile.h tells it); none when held.
  std::error_code Error() const { return FError; }
  // The same for a message: the system's text, or "it is a symbolic link, not a regular
  // file" and the like for a name that was refused for what it is.
  const std::string& Problem() const { return FProblem; }

 private:
  TFile FFile;
  bool FCreated = false;
  std::error_code FError;
  std::string FProblem;
};

}  // namespace kassiro::platform
