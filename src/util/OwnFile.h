// Opening a file of the program's own (settings, their copy, INI, log, line trace) in a
// folder that another user may be able to write into. A name there may have been made a
// symbolic link to a file elsewhere, or a FIFO or a device, by that user: such a file is
// never followed, never waited on and never read or written. The open does not follow
// a link, does not block (a FIFO without a writer or reader would hold it forever), and
// takes the file only when fstat shows a regular file; then the descriptor blocks again
// as usual. O_TRUNC is applied only after that check, so nothing else is ever emptied.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace kassiro {

// An open file of the program's own, or why there is none. Owns the descriptor.
class TOwnFile {
 public:
  TOwnFile() = default;
  TOwnFile(TOwnFile&& o) noexcept
      : FFd(std::exchange(o.FFd, -1)), FErrno(o.FErrno), FCreated(o.FCreated), FProblem(std::move(o.FProblem)) {}
  TOwnFile& operator=(TOwnFile&& o) noexcept;
  TOwnFile(const TOwnFile&) = delete;
  TOwnFile& operator=(const TOwnFile&) = delete;
  ~TOwnFile();

  bool Valid() const { return FFd >= 0; }
  int Get() const { return FFd; }
  // Hands the descriptor to another owner.
  int Release() { return std::exchange(FFd, -1); }
  // This open made the file (it did not exist before).
  bool Created() const { return FCreated; }
  // Why the open failed: the errno of open(), or ELOOP for a symbolic link and EINVAL
  // for anything else that is not a regular file; 0 when open.
  int Errno() const { return FErrno; }
  // The reason for a message: "it is a symbolic link, not a regular file", "it is a
  // FIFO, not a regular file", or the system's text for the errno; "" when open.
  const std::string& Problem() const { return FProblem; }
  // Whether the file was refused for what it is (a link, a FIFO, a device...).
  bool Refused() const { return FRefused; }

 private:
  friend TOwnFile OpenOwnFile(const std::filesystem::path&, int, mode_t);
  int FFd = -1;
  int FErrno = 0;
  bool FCreated = false;
  bool FRefused = false;
  std::string FProblem;
};

// Opens path with flags (O_RDONLY, O_WRONLY or O_RDWR with O_CREAT, O_APPEND, O_TRUNC,
// O_CLOEXEC as needed) as described above; mode for a file that O_CREAT makes.
TOwnFile OpenOwnFile(const std::filesystem::path& path, int flags, mode_t mode = 0644);

// The folder's permission bits when users other than its owner may write into it and it
// is not sticky (where anybody may remove or replace anybody's files); else nothing.
std::optional<mode_t> OpenToOthers(const std::filesystem::path& folder);

// What kind of file st_mode describes, for a message: "a symbolic link", "a FIFO"...
std::string FileKindText(mode_t mode);

}  // namespace kassiro
