#pragma once
// Replacing a small file's whole content so that a crash at any moment leaves either
// the old content or the new one on disk, never a mix or a half.
//
// A second platform provides ReplaceFileContent with its own atomic rename over an
// existing file (MoveFileEx with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH on
// Windows).

#include <filesystem>
#include <string_view>
#include <system_error>

namespace kassiro::platform {

// Writes content to a new file beside target, flushes it to disk, renames it over target
// and flushes the folder, so the rename itself survives a crash. The new file keeps the
// permissions of the old one (0644 when there was none). On an error target is left
// as it was and the new file removed.
std::error_code ReplaceFileContent(const std::filesystem::path& target, std::string_view content);

}  // namespace kassiro::platform
