#include "platform/WinText.h"

#include <windows.h>
#include <winsock2.h>

namespace kassiro::platform {

namespace {

class TWindowsCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "windows"; }

  std::string message(int code) const override {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring w = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    if (text != nullptr) ::LocalFree(text);
    while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' ' || w.back() == L'.'))
      w.pop_back();
    return w.empty() ? "Windows error " + std::to_string(static_cast<unsigned>(code)) : ToUtf8(w);
  }

  // The errors the program's callers tell apart, as the portable conditions.
  std::error_condition default_error_condition(int code) const noexcept override {
    switch (static_cast<DWORD>(code)) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_DRIVE:
      case ERROR_BAD_NETPATH: return std::errc::no_such_file_or_directory;
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION: return std::errc::permission_denied;
      case ERROR_LOCK_VIOLATION: return std::errc::operation_would_block;
      case ERROR_FILE_EXISTS:
      case ERROR_ALREADY_EXISTS: return std::errc::file_exists;
      case ERROR_DISK_FULL:
      case ERROR_HANDLE_DISK_FULL: return std::errc::no_space_on_device;
      case ERROR_INVALID_HANDLE: return std::errc::bad_file_descriptor;
      case ERROR_DIRECTORY: return std::errc::not_a_directory;
      case ERROR_NOT_ENOUGH_MEMORY:
      case ERROR_OUTOFMEMORY: return std::errc::not_enough_memory;
      case ERROR_INVALID_PARAMETER:
      case ERROR_INVALID_NAME: return std::errc::invalid_argument;
      case ERROR_BROKEN_PIPE:
      case ERROR_NO_DATA: return std::errc::broken_pipe;
      case WAIT_TIMEOUT:
      case ERROR_TIMEOUT:
      case WSAETIMEDOUT: return std::errc::timed_out;
      case WSAECONNREFUSED: return std::errc::connection_refused;
      case WSAECONNRESET: return std::errc::connection_reset;
      case WSAECONNABORTED: return std::errc::connection_aborted;
      case WSAEWOULDBLOCK: return std::errc::operation_would_block;
      case WSAEHOSTUNREACH: return std::errc::host_unreachable;
      case WSAENETUNREACH: return std::errc::network_unreachable;
      default: return {code, *this};
    }
  }
};

}  // namespace

std::wstring ToWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

std::string ToUtf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), s.data(), n, nullptr, nullptr);
  return s;
}

const std::error_category& WindowsCategory() {
  static const TWindowsCategory category;
  return category;
}

std::error_code WindowsError(unsigned long code) { return {static_cast<int>(code), WindowsCategory()}; }

std::error_code LastWindowsError() { return WindowsError(::GetLastError()); }

}  // namespace kassiro::platform
