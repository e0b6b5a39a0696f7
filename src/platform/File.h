#pragma once
// An open file, owned: closed when the handle goes. Everything the programs do with a
// file they hold open goes through it: write all of a buffer (retrying the short writes
// a system may make), read at an offset, flush to disk, ask its size and whether a name
// still leads to it. Files of the program's own are opened by OwnFile.h and
// LockedFile.h; OpenFile below opens any other (a spool's segments, say).
//
// A second platform provides this class over its own handle (a HANDLE on Windows) in
// its own implementation file; the handle never leaves the platform library.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>

namespace kassiro::platform {

enum class TAccess : std::uint8_t { Read, Write, ReadWrite };

// How a file is opened. CreatePerms is what a new file gets (before the umask); a
// platform without such permissions ignores it.
struct TOpenHow {
  TAccess Access = TAccess::Read;
  bool Create = false;    // make it when missing
  bool Append = false;    // every write goes to the end
  bool Truncate = false;  // emptied on opening
  std::filesystem::perms CreatePerms = std::filesystem::perms(0644);
};

// How much a read moved, and why it stopped early (no error: the file's end).
struct TIoResult {
  std::size_t bytes = 0;
  std::error_code error;
};

class TFile {
 public:
  TFile() = default;
  TFile(TFile&& o) noexcept;
  TFile& operator=(TFile&& o) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  ~TFile();

  bool Valid() const { return FNative != INVALID; }
  // Closes the file now (also drops a lock held through it). The handle is gone even
  // when the system reports an error.
  std::error_code Close();
  // A second handle to the same open file (sharing its position), to flush it while
  // this one may be closed meanwhile; not valid when the system refuses.
  TFile Duplicate() const;

  // Writes all of bytes at the file's position (at its end when opened for appending).
  // A write that stores nothing although the system reports no error is ENOSPC.
  std::error_code WriteAll(std::span<const std::uint8_t> bytes);
  std::error_code WriteAll(std::string_view text);
  // The same at offset, leaving the file's position alone.
  std::error_code WriteAllAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);

  // Reads until into is full, the file ends or an error comes.
  TIoResult Read(std::span<std::uint8_t> into);
  TIoResult ReadAt(std::uint64_t offset, std::span<std::uint8_t> into);

  // Puts the written data, and the size that reading it needs, on the disk; time
  // stamps may lag.
  std::error_code FlushToDisk();

  // Bytes in the file; nothing when it cannot be told (or the handle is not valid).
  std::optional<std::uint64_t> Size() const;
  std::error_code Truncate(std::uint64_t size);
  // Whether it is a regular file (not a folder, FIFO or device).
  bool Regular() const;
  // Whether the file has lost its last name (removed while held).
  bool Unlinked() const;

  // Whether path names this very file: false once it was removed, renamed away or
  // replaced by another file, and when path is a symbolic link (even to it).
  bool IsAt(const std::filesystem::path& path) const;

 private:
  friend struct TFileAccess;  // the platform's open calls make and read handles
  static constexpr std::intptr_t INVALID = -1;
  explicit TFile(std::intptr_t native) : FNative(native) {}
  std::intptr_t FNative = INVALID;  // the platform's handle
};

// Opens path as how asks, following a symbolic link; not valid on an error, which
// error then tells.
TFile OpenFile(const std::filesystem::path& path, const TOpenHow& how, std::error_code& error);

// Makes the names made, renamed or removed in folder durable, as FlushToDisk does for a
// file's content.
std::error_code FlushFolder(const std::filesystem::path& folder);

// Whether this process may read the file at path.
bool MayRead(const std::filesystem::path& path);

}  // namespace kassiro::platform
