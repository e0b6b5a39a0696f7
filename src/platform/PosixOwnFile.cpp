#include "platform/OwnFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileAccess.h"
#include "platform/PosixOpenFlags.h"

namespace kassiro::platform {

namespace {

// What kind of file st_mode describes, for a message: "a symbolic link", "a FIFO"...
std::string FileKindText(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFLNK: return "a symbolic link";
    case S_IFIFO: return "a FIFO";
    case S_IFDIR: return "a directory";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    default: return "not a regular file";
  }
}

// open() without following a link, retried on EINTR. With O_CREAT, created tells
// whether this call made the file: O_EXCL first, then the existing file without O_CREAT
// (a name removed in between is tried again).
int OpenNoFollow(const char* path, int flags, mode_t mode, bool& created) {
  created = false;
  flags |= O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = -1;
    if ((flags & O_CREAT) != 0) {
      do fd = ::open(path, flags | O_EXCL, mode);
      while (fd < 0 && errno == EINTR);
      if (fd >= 0) {
        created = true;
        return fd;
      }
      if (errno != EEXIST) return -1;
    }
    do fd = ::open(path, flags & ~O_CREAT);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != ENOENT || (flags & O_CREAT) == 0) return fd;
  }
  return -1;
}

std::error_code Errno(int e) { return {e, std::generic_category()}; }

}  // namespace

std::optional<std::filesystem::perms> OpenToOthers(const std::filesystem::path& folder) {
  struct stat st {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return std::nullopt;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0) return std::nullopt;
  return std::filesystem::perms(st.st_mode & 07777);
}

TOwnFile OpenOwnFile(const std::filesystem::path& path, const TOpenHow& how) {
  TOwnFile f;
  const int flags = OpenFlags(how) & ~O_TRUNC;
  const int fd = OpenNoFollow(path.c_str(), flags, static_cast<mode_t>(how.CreatePerms), f.FCreated);
  const auto refuse = [&f](mode_t kind) {
    f.FRefused = true;
    f.FError = Errno(S_ISLNK(kind) ? ELOOP : EINVAL);
    f.FProblem = "it is " + FileKindText(kind) + ", not a regular file";
  };
  const auto fail = [&f](int e) {
    f.FError = Errno(e);
    f.FProblem = std::strerror(e);
  };
  if (fd < 0) {
    const int e = errno;
    // ELOOP: the name is a link; ENXIO: a FIFO without a reader, or a device without
    // its hardware. Say what lies there rather than the system's puzzling text.
    struct stat st {};
    if ((e == ELOOP || e == ENXIO || e == EISDIR) && ::lstat(path.c_str(), &st) == 0 &&
        !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      refuse(st.st_mode);
    } else {
      fail(e);
    }
    return f;
  }
  TFile file = TFileAccess::Adopt(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    fail(errno);
    return f;
  }
  if (!S_ISREG(st.st_mode)) {
    // A directory keeps the system's own text, as every other open of it says.
    if (S_ISDIR(st.st_mode)) {
      fail(EISDIR);
    } else {
      refuse(st.st_mode);
    }
    return f;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    fail(errno);
    return f;
  }
  if (how.Truncate) {
    if (const std::error_code e = file.Truncate(0)) {
      f.FError = e;
      f.FProblem = std::strerror(e.value());
      return f;
    }
  }
  f.FFile = std::move(file);
  return f;
}

}  // namespace kassiro::platform
