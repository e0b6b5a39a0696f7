#include "platform/ProgramVersion.h"

#include <windows.h>

#include <string>
#include <vector>

#include "platform/ExePath.h"

namespace kassiro::platform {

std::optional<std::array<int, 4>> ExecutableVersion() {
  const std::wstring exe = ExecutablePath().wstring();
  if (exe.empty()) return std::nullopt;
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<std::byte> info(size);
  if (!::GetFileVersionInfoW(exe.c_str(), 0, size, info.data())) return std::nullopt;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO))
    return std::nullopt;
  return std::array<int, 4>{static_cast<int>(HIWORD(fixed->dwFileVersionMS)),
                            static_cast<int>(LOWORD(fixed->dwFileVersionMS)),
                            static_cast<int>(HIWORD(fixed->dwFileVersionLS)),
                            static_cast<int>(LOWORD(fixed->dwFileVersionLS))};
}

}  // namespace kassiro::platform
