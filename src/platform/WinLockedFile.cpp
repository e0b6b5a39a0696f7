#include "platform/LockedFile.h"

#include <windows.h>

#include "platform/FileAccess.h"
#include "platform/OwnFile.h"
#include "platform/WinText.h"

namespace kassiro::platform {

TLockedFile TLockedFile::Open(const std::filesystem::path& path, std::filesystem::perms createPerms) {
  TLockedFile held;
  TOwnFile f = OpenOwnFile(path, {.Access = TAccess::ReadWrite, .Create = true, .CreatePerms = createPerms});
  if (!f.Valid()) {
    held.FError = f.Error();
    held.FProblem = f.Problem();
    return held;
  }
  // An exclusive lock, failing at once: held by this handle, so a second open in this
  // process is refused too, and the system drops it when the handle closes or the process
  // dies. Windows locks are mandatory for the bytes they cover, so the lock covers one
  // byte far past any content: reading the file through another handle stays possible,
  // as with the advisory lock of POSIX.
  HANDLE h = reinterpret_cast<HANDLE>(TFileAccess::Native(f.File()));
  OVERLAPPED past{};
  past.Offset = MAXDWORD;
  past.OffsetHigh = 0x7FFFFFFF;
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &past)) {
    held.FError = LastWindowsError();  // ERROR_LOCK_VIOLATION: operation_would_block
    held.FProblem = held.FError.message();
    return held;
  }
  held.FCreated = f.Created();
  held.FFile = std::move(f.File());
  return held;
}

}  // namespace kassiro::platform
