#pragma once
// Inside the platform library only: how the Windows implementation files open a file by
// name, shared by File, OwnFile and LockedFile.

#include <windows.h>

#include <filesystem>

#include "platform/File.h"

namespace kassiro::platform {

// Every file is opened so that others may read, write, rename and remove it meanwhile,
// as on POSIX: a log rotated or a settings file replaced while held stays possible.
inline constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The access rights for how. An appending handle has FILE_APPEND_DATA without
// FILE_WRITE_DATA, so that every write goes to the file's end.
DWORD AccessFor(const TOpenHow& how);
// The creation disposition for how (Truncate only for a handle that may write data).
DWORD DispositionFor(const TOpenHow& how);

}  // namespace kassiro::platform
