#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/FileAccess.h"
#include "platform/PosixOpenFlags.h"


namespace kassiro::platform {

namespace {

int Fd(std::intptr_t native) { return static_cast<int>(native); }

std::error_code LastError() { return {errno, std::generic_category()}; }

// Runs io(done) until all of size is moved: short counts go on where they stopped,
// interrupted calls are repeated. For a read, 0 is the file's end.
template <typename Io>
TIoResult Loop(std::size_t size, bool writing, Io io) {
  TIoResult r;
  while (r.bytes < size) {
    const ssize_t n = io(r.bytes);
    if (n > 0) {
      r.bytes += static_cast<std::size_t>(n);
    } else if (n == 0) {
      if (writing) r.error = std::make_error_code(std::errc::no_space_on_device);
      break;
    } else if (errno != EINTR) {
      r.error = LastError();
      break;
    }
  }
  return r;
}

}  // namespace

TFile::TFile(TFile&& o) noexcept : FNative(std::exchange(o.FNative, INVALID)) {}

TFile& TFile::operator=(TFile&& o) noexcept {
  if (this != &o) {
    (void)Close();
    FNative = std::exchange(o.FNative, INVALID);
  }
  return *this;
}

TFile::~TFile() { (void)Close(); }

std::error_code TFile::Close() {
  // close() is not repeated on EINTR: on Linux the descriptor is gone either way.
  if (!Valid()) return {};
  return ::close(Fd(std::exchange(FNative, INVALID))) == 0 ? std::error_code() : LastError();
}

TFile TFile::Duplicate() const {
  return Valid() ? TFile(::fcntl(Fd(FNative), F_DUPFD_CLOEXEC, 0)) : TFile();
}

std::error_code TFile::WriteAll(std::span<const std::uint8_t> bytes) {
  if (!Valid()) return std::make_error_code(std::errc::bad_file_descriptor);
  return Loop(bytes.size(), true, [&](std::size_t done) {
           return ::write(Fd(FNative), bytes.data() + done, bytes.size() - done);
         }).error;
}

std::error_code TFile::WriteAll(std::string_view text) {
  return WriteAll(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::error_code TFile::WriteAllAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (!Valid()) return std::make_error_code(std::errc::bad_file_descriptor);
  return Loop(bytes.size(), true, [&](std::size_t done) {
           return ::pwrite(Fd(FNative), bytes.data() + done, bytes.size() - done,
                           static_cast<off_t>(offset + done));
         }).error;
}

TIoResult TFile::Read(std::span<std::uint8_t> into) {
  if (!Valid()) return {0, std::make_error_code(std::errc::bad_file_descriptor)};
  return Loop(into.size(), false, [&](std::size_t done) {
    return ::read(Fd(FNative), into.data() + done, into.size() - done);
  });
}

TIoResult TFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) {
  if (!Valid()) return {0, std::make_error_code(std::errc::bad_file_descriptor)};
  return Loop(into.size(), false, [&](std::size_t done) {
    return ::pread(Fd(FNative), into.data() + done, into.size() - done,
                   static_cast<off_t>(offset + done));
  });
}

std::error_code TFile::FlushToDisk() {
  if (!Valid()) return std::make_error_code(std::errc::bad_file_descriptor);
  // fdatasync: the data and the size that reading it needs, without the time stamps.
  return ::fdatasync(Fd(FNative)) == 0 ? std::error_code() : LastError();
}

std::optional<std::uint64_t> TFile::Size() const {
  struct stat st {};
  if (!Valid() || ::fstat(Fd(FNative), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::error_code TFile::Truncate(std::uint64_t size) {
  if (!Valid()) return std::make_error_code(std::errc::bad_file_descriptor);
  int rc = 0;
  do rc = ::ftruncate(Fd(FNative), static_cast<off_t>(size));
  while (rc != 0 && errno == EINTR);
  return rc == 0 ? std::error_code() : LastError();
}

bool TFile::Regular() const {
  struct stat st {};
  return Valid() && ::fstat(Fd(FNative), &st) == 0 && S_ISREG(st.st_mode);
}

bool TFile::Unlinked() const {
  struct stat st {};
  return Valid() && ::fstat(Fd(FNative), &st) == 0 && st.st_nlink == 0;
}

bool TFile::IsAt(const std::filesystem::path& path) const {
  struct stat held {}, atPath {};
  if (!Valid() || ::fstat(Fd(FNative), &held) != 0) return false;
  if (::lstat(path.c_str(), &atPath) != 0) return false;  // a link there is not it
  return held.st_nlink > 0 && held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino;
}

TFile OpenFile(const std::filesystem::path& path, const TOpenHow& how, std::error_code& error) {
  int fd = -1;
  do fd = ::open(path.c_str(), OpenFlags(how), static_cast<mode_t>(how.CreatePerms));
  while (fd < 0 && errno == EINTR);
  error = fd < 0 ? LastError() : std::error_code();
  return TFileAccess::Adopt(fd);
}

std::error_code FlushFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LastError();
  const TFile dir = TFileAccess::Adopt(fd);
  return ::fsync(fd) == 0 ? std::error_code() : LastError();
}

bool MayRead(const std::filesystem::path& path) { return ::access(path.c_str(), R_OK) == 0; }

}  // namespace kassiro::platform
