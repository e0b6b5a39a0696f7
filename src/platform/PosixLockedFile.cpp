#include "platform/LockedFile.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/FileAccess.h"
#include "util/OwnFile.h"

namespace kassiro::platform {

TLockedFile TLockedFile::Open(const std::filesystem::path& path, std::filesystem::perms createPerms) {
  TLockedFile held;
  TOwnFile f = OpenOwnFile(path, O_RDWR | O_CREAT | O_CLOEXEC, static_cast<mode_t>(createPerms));
  if (!f.Valid()) {
    held.FError = {f.Errno(), std::generic_category()};
    held.FProblem = f.Problem();
    return held;
  }
  // flock: held by the open file, so a second open in this process is refused too, and
  // the lock goes with the last descriptor.
  int rc = 0;
  do rc = ::flock(f.Get(), LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    held.FError = {errno, std::generic_category()};
    held.FProblem = held.FError.message();
    return held;
  }
  held.FCreated = f.Created();
  held.FFile = TFileAccess::Adopt(f.Release());
  return held;
}

}  // namespace kassiro::platform
