#include "platform/ExePath.h"

#include <windows.h>

#include <string>

namespace kassiro::platform {

std::filesystem::path ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {  // a path that filled the buffer was cut: try a larger one
      buffer.resize(n);
      return std::filesystem::path(buffer);
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace kassiro::platform
