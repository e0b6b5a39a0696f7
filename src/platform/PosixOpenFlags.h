#pragma once
// Inside the platform library only: the open(2) flags for a TOpenHow.

#include <fcntl.h>

#include "platform/File.h"

namespace kassiro::platform {

inline int OpenFlags(const TOpenHow& how) {
  int flags = O_CLOEXEC;
  switch (how.Access) {
    case TAccess::Read: flags |= O_RDONLY; break;
    case TAccess::Write: flags |= O_WRONLY; break;
    case TAccess::ReadWrite: flags |= O_RDWR; break;
  }
  if (how.Create) flags |= O_CREAT;
  if (how.Append) flags |= O_APPEND;
  if (how.Truncate) flags |= O_TRUNC;
  return flags;
}

}  // namespace kassiro::platform
