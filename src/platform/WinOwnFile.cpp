#include "platform/OwnFile.h"

#include <windows.h>
#include <aclapi.h>

#include "platform/FileAccess.h"
#include "platform/WinFileHandles.h"
#include "platform/WinText.h"

namespace kassiro::platform {

namespace {

// What a handle that is not a regular file leads to, for a message.
std::string KindText(HANDLE h, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "a symbolic link";
  switch (::GetFileType(h)) {
    case FILE_TYPE_PIPE: return "a FIFO";
    case FILE_TYPE_CHAR: return "a character device";
    default: return "not a regular file";
  }
}

std::error_code Generic(std::errc e) { return std::make_error_code(e); }

}  // namespace

// A folder's access list decides who may write into it; a folder that grants the right
// to add files to everybody ("Everyone", "Users", "Authenticated Users") is open to
// others. The permissions returned are the POSIX picture of it: writable by others.
std::optional<std::filesystem::perms> OpenToOthers(const std::filesystem::path& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  const std::wstring name = folder.empty() ? std::wstring(L".") : folder.wstring();
  if (::GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
    return std::nullopt;
  bool open = false;
  if (dacl == nullptr) {
    open = true;  // no access list at all: everybody may do everything
  } else {
    for (const WELL_KNOWN_SID_TYPE others : {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid}) {
      BYTE sid[SECURITY_MAX_SID_SIZE];
      DWORD size = sizeof sid;
      if (!::CreateWellKnownSid(others, nullptr, sid, &size)) continue;
      TRUSTEE_W trustee{};
      ::BuildTrusteeWithSidW(&trustee, sid);
      ACCESS_MASK rights = 0;
      if (::GetEffectiveRightsFromAclW(dacl, &trustee, &rights) == ERROR_SUCCESS &&
          (rights & (FILE_ADD_FILE | FILE_DELETE_CHILD)) != 0) {
        open = true;
        break;
      }
    }
  }
  ::LocalFree(descriptor);
  if (!open) return std::nullopt;
  return std::filesystem::perms::owner_all | std::filesystem::perms::group_all | std::filesystem::perms::others_all;
}

TOwnFile OpenOwnFile(const std::filesystem::path& path, const TOpenHow& how) {
  TOwnFile f;
  const auto fail = [&f](std::error_code e) {
    f.FError = e;
    f.FProblem = e.message();
  };
  const auto refuse = [&f](const std::string& kind) {
    f.FRefused = true;
    f.FError = Generic(kind == "a symbolic link" ? std::errc::too_many_symbolic_link_levels
                                                 : std::errc::invalid_argument);
    f.FProblem = "it is " + kind + ", not a regular file";
  };
  TOpenHow open = how;
  open.Truncate = false;  // only once it is known to be a regular file
  // The name itself, never what a link there leads to (FILE_FLAG_OPEN_REPARSE_POINT).
  HANDLE h = ::CreateFileW(path.c_str(), AccessFor(open), SHARE_ALL, nullptr, DispositionFor(open),
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (e == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      fail(Generic(std::errc::is_a_directory));
    } else {
      fail(WindowsError(e));
    }
    return f;
  }
  f.FCreated = how.Create && ::GetLastError() != ERROR_ALREADY_EXISTS;
  TFile file = TFileAccess::Adopt(reinterpret_cast<std::intptr_t>(h));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) {
    // A device or a pipe has no file information; say what it is.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
      refuse(KindText(h, 0));
    } else {
      fail(LastWindowsError());
    }
    return f;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    fail(Generic(std::errc::is_a_directory));
    return f;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || ::GetFileType(h) != FILE_TYPE_DISK) {
    refuse(KindText(h, info.dwFileAttributes));
    return f;
  }
  if (how.Truncate) {
    if (const std::error_code e = file.Truncate(0)) {
      fail(e);
      return f;
    }
  }
  f.FFile = std::move(file);
  return f;
}

}  // namespace kassiro::platform
