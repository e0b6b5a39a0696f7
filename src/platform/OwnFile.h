#pragma once
// Opening a file of the program's own (settings, their copy, INI, log, line trace) in a
// folder that another user may be able to write into. A name there may have been made a
// symbolic link to a file elsewhere, or a FIFO or a device, by that user: such a file is
// never followed, never waited on and never read or written. Only a regular file is
// taken, and emptying (Truncate) happens only after that check, so nothing else is
// ever emptied. Once taken, the file blocks on reads and writes as usual.
//
// A second platform provides OpenOwnFile and OpenToOthers with the same refusals (on
// Windows: no reparse point, no device, a disk file only) and the same problem texts.

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "platform/File.h"

namespace kassiro::platform {

// An open file of the program's own, or why there is none.
class TOwnFile {
 public:
  bool Valid() const { return FFile.Valid(); }
  TFile& File() { return FFile; }
  const TFile& File() const { return FFile; }
  // This open made the file (it did not exist before).
  bool Created() const { return FCreated; }
  // Why the open failed: the system's error, or too_many_symbolic_link_levels for a
  // symbolic link and invalid_argument for anything else that is not a regular file
  // (is_a_directory for a folder); none when open.
  std::error_code Error() const { return FError; }
  // The reason for a message: "it is a symbolic link, not a regular file", "it is a
  // FIFO, not a regular file", or the system's text for the error; "" when open.
  const std::string& Problem() const { return FProblem; }
  // Whether the file was refused for what it is (a link, a FIFO, a device...).
  bool Refused() const { return FRefused; }

 private:
  friend TOwnFile OpenOwnFile(const std::filesystem::path&, const TOpenHow&);
  TFile FFile;
  std::error_code FError;
  bool FCreated = false;
  bool FRefused = false;
  std::string FProblem;
};

// Opens path as how asks, as described above.
TOwnFile OpenOwnFile(const std::filesystem::path& path, const TOpenHow& how);

// The folder's permissions when users other than its owner may write into it and it is
// not sticky (where anybody may remove or replace anybody's files); else nothing.
std::optional<std::filesystem::perms> OpenToOthers(const std::filesystem::path& folder);

}  // namespace kassiro::platform
