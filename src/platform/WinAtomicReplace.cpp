#include "platform/AtomicReplace.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "platform/File.h"
#include "platform/RandomBytes.h"
#include "platform/WinText.h"

namespace kassiro::platform {

namespace {

// How long a replace waits for a reader that holds the file: RETRIES times RETRY_MS.
constexpr int RETRIES = 100;
constexpr DWORD RETRY_MS = 10;

// ".NAME.1a2b3c4d" beside target: hidden from a listing by its dot as on POSIX, and
// never the name of another writer's file.
std::filesystem::path TemporaryBeside(const std::filesystem::path& target) {
  std::array<std::uint8_t, 4> random{};
  RandomBytes(random);
  std::wstring suffix;
  for (const std::uint8_t b : random) {
    constexpr wchar_t HEX[] = L"0123456789abcdef";
    suffix += HEX[b >> 4];
    suffix += HEX[b & 15];
  }
  return target.parent_path() / (L"." + target.filename().wstring() + L"." + suffix);
}

}  // namespace

std::error_code ReplaceFileContent(const std::filesystem::path& target, std::string_view content) {
  const std::filesystem::path temporary = TemporaryBeside(target);
  std::error_code error;
  {
    // A leftover of a crash under the same random name is emptied and taken over.
    TFile file = OpenFile(temporary, {.Access = TAccess::Write, .Create = true, .Truncate = true}, error);
    if (!file.Valid()) return error;
    error = file.WriteAll(content);
    if (!error) error = file.FlushToDisk();
  }
  // The rename replaces target in one step and returns once it is on the disk. A reader
  // that opened target without letting others remove it (a plain C++ stream, a virus
  // scanner) makes Windows refuse the replace while it reads: try again a little later.
  for (int attempt = 0; !error; ++attempt) {
    if (::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) break;
    const DWORD e = ::GetLastError();
    if ((e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION) || attempt == RETRIES) {
      error = WindowsError(e);
    } else {
      ::Sleep(RETRY_MS);
    }
  }
  if (error) ::DeleteFileW(temporary.c_str());
  return error;
}

}  // namespace kassiro::platform
