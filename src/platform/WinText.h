#pragma once
// Inside the platform library only: what the Windows implementation files share. Text
// crosses the Windows API as UTF-16 and the rest of the program as UTF-8; a Windows
// error number becomes an error_code whose message is the system's text and which
// compares equal to the std::errc the callers test (a missing file, a held lock...).

#include <string>
#include <string_view>
#include <system_error>

namespace kassiro::platform {

std::wstring ToWide(std::string_view utf8);
std::string ToUtf8(std::wstring_view wide);

// The category of Windows error numbers (GetLastError, WSAGetLastError).
const std::error_category& WindowsCategory();
std::error_code WindowsError(unsigned long code);
// WindowsError(GetLastError()).
std::error_code LastWindowsError();

}  // namespace kassiro::platform
