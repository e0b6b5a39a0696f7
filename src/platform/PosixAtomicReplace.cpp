#include "platform/AtomicReplace.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/File.h"
#include "platform/FileAccess.h"

namespace kassiro::platform {

std::error_code ReplaceFileContent(const std::filesystem::path& target, std::string_view content) {
  const std::filesystem::path dir = target.parent_path();
  std::string tmpl = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return {errno, std::generic_category()};
  TFile file = TFileAccess::Adopt(fd);
  struct stat st {};
  const mode_t mode = ::lstat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  std::error_code error;
  if (::fchmod(fd, mode) != 0) error = {errno, std::generic_category()};
  if (!error) error = file.WriteAll(content);
  // fsync rather than fdatasync: a new file's inode and permissions belong to it.
  if (!error && ::fsync(fd) != 0) error = {errno, std::generic_category()};
  if (!error && ::rename(tmpl.c_str(), target.c_str()) != 0) error = {errno, std::generic_category()};
  if (error) {
    ::unlink(tmpl.c_str());
    return error;
  }
  (void)FlushFolder(dir);  // the content is in place; only the rename's durability is at stake
  return {};
}

}  // namespace kassiro::platform
