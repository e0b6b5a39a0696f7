#include "util/OwnFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kassiro {

TOwnFile& TOwnFile::operator=(TOwnFile&& o) noexcept {
  if (this != &o) {
    if (FFd >= 0) ::close(FFd);
    FFd = std::exchange(o.FFd, -1);
    FErrno = o.FErrno;
    FCreated = o.FCreated;
    FRefused = o.FRefused;
    FProblem = std::move(o.FProblem);
  }
  return *this;
}

TOwnFile::~TOwnFile() {
  if (FFd >= 0) ::close(FFd);
}

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

std::optional<mode_t> OpenToOthers(const std::filesystem::path& folder) {
  struct stat st {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return std::nullopt;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0) return std::nullopt;
  return st.st_mode & 07777;
}

namespace {

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

}  // namespace

TOwnFile OpenOwnFile(const std::filesystem::path& path, int flags, mode_t mode) {
  TOwnFile f;
  const bool truncate = (flags & O_TRUNC) != 0;
  const int fd = OpenNoFollow(path.c_str(), flags & ~O_TRUNC, mode, f.FCreated);
  const auto refuse = [&f](mode_t kind) {
    f.FRefused = true;
    f.FErrno = S_ISLNK(kind) ? ELOOP : EINVAL;
    f.FProblem = "it is " + FileKindText(kind) + ", not a regular file";
  };
  if (fd < 0) {
    f.FErrno = errno;
    // ELOOP: the name is a link; ENXIO: a FIFO without a reader, or a device without
    // its hardware. Say what lies there rather than the system's puzzling text.
    struct stat st {};
    if ((f.FErrno == ELOOP || f.FErrno == ENXIO || f.FErrno == EISDIR) && ::lstat(path.c_str(), &st) == 0 &&
        !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      refuse(st.st_mode);
    } else {
      f.FProblem = std::strerror(f.FErrno);
    }
    return f;
  }
  f.FFd = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    f.FErrno = errno;
    f.FProblem = std::strerror(f.FErrno);
    ::close(std::exchange(f.FFd, -1));
    return f;
  }
  if (!S_ISREG(st.st_mode)) {
    // A directory keeps the system's own text, as every other open of it says.
    if (S_ISDIR(st.st_mode)) {
      f.FErrno = EISDIR;
      f.FProblem = std::strerror(EISDIR);
    } else {
      refuse(st.st_mode);
    }
    ::close(std::exchange(f.FFd, -1));
    return f;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0 || (truncate && ::ftruncate(fd, 0) != 0)) {
    f.FErrno = errno;
    f.FProblem = std::strerror(f.FErrno);
    ::close(std::exchange(f.FFd, -1));
  }
  return f;
}

}  // namespace kassiro
