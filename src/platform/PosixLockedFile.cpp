#include "platform/LockedFile.h"

#include <sys/file.h>

#include <cerrno>

#include "platform/FileAccess.h"
#include "platform/OwnFile.h"

namespace kassiro::platform {

TLockedFile TLockedFile::Open(const std::filesystem::path& path, std::filesystem::perms createPerms) {
  TLockedFile held;
  TOwnFile f = OpenOwnFile(path, {.Access = TAccess::ReadWrite, .Create = true, .CreatePerms = createPerms});
  if (!f.Valid()) {
    held.FError = f.Error();
    held.FProblem = f.Problem();
    return held;
  }
  // flock: held by the open file, so a second open in this process is refused too, and
  // the lock goes with the last descriptor.
  const int fd = static_cast<int>(TFileAccess::Native(f.File()));
  int rc = 0;
  do rc = ::flock(fd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    held.FError = {errno, std::generic_category()};
    held.FProblem = held.FError.message();
    return held;
  }
  held.FCreated = f.Created();
  held.FFile = std::move(f.File());
  return held;
}

}  // namespace kassiro::platform
