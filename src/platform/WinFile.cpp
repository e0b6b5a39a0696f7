#include "platform/File.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "platform/FileAccess.h"
#include "platform/WinFileHandles.h"
#include "platform/WinText.h"

namespace kassiro::platform {

namespace {

HANDLE Handle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }
std::intptr_t Native(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

// One call moves at most this much; the loops go on where it stopped.
constexpr std::size_t MAX_CHUNK = 1u << 30;

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

// The file pointer, kept around a call with an explicit offset: on a synchronous handle
// such a call moves it, on POSIX pread and pwrite do not.
class TKeepPosition {
 public:
  explicit TKeepPosition(HANDLE h) : FHandle(h) {
    FKept = ::SetFilePointerEx(h, LARGE_INTEGER{}, &FPosition, FILE_CURRENT) != 0;
  }
  ~TKeepPosition() {
    if (FKept) ::SetFilePointerEx(FHandle, FPosition, nullptr, FILE_BEGIN);
  }
  TKeepPosition(const TKeepPosition&) = delete;
  TKeepPosition& operator=(const TKeepPosition&) = delete;

 private:
  HANDLE FHandle;
  LARGE_INTEGER FPosition{};
  bool FKept = false;
};

TIoResult WriteLoop(HANDLE h, std::span<const std::uint8_t> bytes, const std::uint64_t* offset) {
  TIoResult r;
  while (r.bytes < bytes.size()) {
    const auto chunk = static_cast<DWORD>(std::min(bytes.size() - r.bytes, MAX_CHUNK));
    DWORD n = 0;
    OVERLAPPED o = offset != nullptr ? At(*offset + r.bytes) : OVERLAPPED{};
    if (!::WriteFile(h, bytes.data() + r.bytes, chunk, &n, offset != nullptr ? &o : nullptr)) {
      r.error = LastWindowsError();
      break;
    }
    if (n == 0) {
      r.error = std::make_error_code(std::errc::no_space_on_device);
      break;
    }
    r.bytes += n;
  }
  return r;
}

TIoResult ReadLoop(HANDLE h, std::span<std::uint8_t> into, const std::uint64_t* offset) {
  TIoResult r;
  while (r.bytes < into.size()) {
    const auto chunk = static_cast<DWORD>(std::min(into.size() - r.bytes, MAX_CHUNK));
    DWORD n = 0;
    OVERLAPPED o = offset != nullptr ? At(*offset + r.bytes) : OVERLAPPED{};
    if (!::ReadFile(h, into.data() + r.bytes, chunk, &n, offset != nullptr ? &o : nullptr)) {
      const DWORD e = ::GetLastError();
      // The end of the file (at an offset) or of a pipe whose writer closed.
      if (e != ERROR_HANDLE_EOF && e != ERROR_BROKEN_PIPE) r.error = WindowsError(e);
      break;
    }
    if (n == 0) break;
    r.bytes += n;
  }
  return r;
}

std::error_code NotOpen() { return std::make_error_code(std::errc::bad_file_descriptor); }

bool Information(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) {
  return h != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(h, &info) != 0;
}

// Whether path names the file of h itself (not a link to it).
bool SameFileAt(HANDLE h, const std::filesystem::path& path) {
  BY_HANDLE_FILE_INFORMATION held{}, atPath{};
  if (!Information(h, held)) return false;
  // The name itself, not what a link there leads to; a folder opens too (and differs).
  HANDLE other = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  const bool known = Information(other, atPath);
  ::CloseHandle(other);
  return known && (atPath.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
         held.dwVolumeSerialNumber == atPath.dwVolumeSerialNumber && held.nFileIndexHigh == atPath.nFileIndexHigh &&
         held.nFileIndexLow == atPath.nFileIndexLow;
}

}  // namespace

DWORD AccessFor(const TOpenHow& how) {
  DWORD access = 0;
  const bool reads = how.Access != TAccess::Write;
  const bool writes = how.Access != TAccess::Read;
  if (reads) access |= GENERIC_READ;
  if (writes) {
    access |= how.Append ? FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | SYNCHRONIZE | READ_CONTROL
                         : GENERIC_WRITE;
  }
  return access | FILE_READ_ATTRIBUTES;
}

DWORD DispositionFor(const TOpenHow& how) {
  const bool truncate = how.Truncate && how.Access != TAccess::Read;
  if (how.Create) return truncate ? CREATE_ALWAYS : OPEN_ALWAYS;
  return truncate ? TRUNCATE_EXISTING : OPEN_EXISTING;
}

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
  if (!Valid()) return {};
  return ::CloseHandle(Handle(std::exchange(FNative, INVALID))) ? std::error_code() : LastWindowsError();
}

TFile TFile::Duplicate() const {
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (!Valid() || !::DuplicateHandle(::GetCurrentProcess(), Handle(FNative), ::GetCurrentProcess(), &copy, 0,
                                     FALSE, DUPLICATE_SAME_ACCESS))
    return TFile();
  return TFile(Native(copy));
}

std::error_code TFile::WriteAll(std::span<const std::uint8_t> bytes) {
  if (!Valid()) return NotOpen();
  return WriteLoop(Handle(FNative), bytes, nullptr).error;
}

std::error_code TFile::WriteAll(std::string_view text) {
  return WriteAll(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::error_code TFile::WriteAllAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (!Valid()) return NotOpen();
  const TKeepPosition keep(Handle(FNative));
  return WriteLoop(Handle(FNative), bytes, &offset).error;
}

TIoResult TFile::Read(std::span<std::uint8_t> into) {
  if (!Valid()) return {0, NotOpen()};
  return ReadLoop(Handle(FNative), into, nullptr);
}

TIoResult TFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) {
  if (!Valid()) return {0, NotOpen()};
  const TKeepPosition keep(Handle(FNative));
  return ReadLoop(Handle(FNative), into, &offset);
}

std::error_code TFile::FlushToDisk() {
  if (!Valid()) return NotOpen();
  // Data and metadata: Windows has no lighter flush that keeps the size.
  return ::FlushFileBuffers(Handle(FNative)) ? std::error_code() : LastWindowsError();
}

std::optional<std::uint64_t> TFile::Size() const {
  LARGE_INTEGER size{};
  if (!Valid() || !::GetFileSizeEx(Handle(FNative), &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::error_code TFile::Truncate(std::uint64_t size) {
  if (!Valid()) return NotOpen();
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (::SetFileInformationByHandle(Handle(FNative), FileEndOfFileInfo, &end, sizeof end)) return {};
  const DWORD e = ::GetLastError();
  if (e != ERROR_ACCESS_DENIED) return WindowsError(e);
  // An appending handle may not set the size: a second handle to the same file may.
  HANDLE writer = ::ReOpenFile(Handle(FNative), GENERIC_WRITE, SHARE_ALL, 0);
  if (writer == INVALID_HANDLE_VALUE) return LastWindowsError();
  const bool done = ::SetFileInformationByHandle(writer, FileEndOfFileInfo, &end, sizeof end) != 0;
  const std::error_code error = done ? std::error_code() : LastWindowsError();
  ::CloseHandle(writer);
  return error;
}

bool TFile::Regular() const {
  BY_HANDLE_FILE_INFORMATION info{};
  return Valid() && ::GetFileType(Handle(FNative)) == FILE_TYPE_DISK && Information(Handle(FNative), info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool TFile::Unlinked() const {
  FILE_STANDARD_INFO info{};
  if (!Valid() || !::GetFileInformationByHandleEx(Handle(FNative), FileStandardInfo, &info, sizeof info))
    return false;
  // A name removed while a handle is open goes with the last handle (delete pending), or
  // at once where the file system removes names the POSIX way.
  return info.DeletePending || info.NumberOfLinks == 0;
}

bool TFile::IsAt(const std::filesystem::path& path) const {
  return Valid() && !Unlinked() && SameFileAt(Handle(FNative), path);
}

TFile OpenFile(const std::filesystem::path& path, const TOpenHow& how, std::error_code& error) {
  TOpenHow first = how;
  if (how.Append && how.Truncate && how.Access != TAccess::Read) {
    // An appending handle may not empty the file: empty it through a plain one first.
    TOpenHow plain = how;
    plain.Append = false;
    TFile emptied = OpenFile(path, plain, error);
    if (!emptied.Valid()) return emptied;
    first.Truncate = false;
  }
  HANDLE h = ::CreateFileW(path.c_str(), AccessFor(first), SHARE_ALL, nullptr, DispositionFor(first),
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  error = h == INVALID_HANDLE_VALUE ? LastWindowsError() : std::error_code();
  return TFileAccess::Adopt(Native(h));
}

// Windows has no flush of a folder's names: a rename is made durable by its own
// write-through (AtomicReplace.h), and a new file's name by the flush of the file.
std::error_code FlushFolder(const std::filesystem::path& folder) {
  const DWORD attributes = ::GetFileAttributesW(folder.empty() ? L"." : folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastWindowsError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return std::make_error_code(std::errc::not_a_directory);
  return {};
}

bool MayRead(const std::filesystem::path& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

}  // namespace kassiro::platform
