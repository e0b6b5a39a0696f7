#include "winui/WinText.h"

#include <vector>

#include "server/KassiroServer.h"

namespace kassiro::winui {

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string ControlText(HWND dialog, int id) {
  const HWND control = GetDlgItem(dialog, id);
  const int length = GetWindowTextLengthW(control);
  std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1);
  const int got = GetWindowTextW(control, buffer.data(), length + 1);
  return Narrow(std::wstring_view(buffer.data(), static_cast<std::size_t>(got)));
}

void SetControlText(HWND dialog, int id, std::string_view text) {
  SetDlgItemTextW(dialog, id, Wide(text).c_str());
}

void SetProgramCaption(HWND window) { SetWindowTextW(window, Wide(ApplicationTitle()).c_str()); }

void MessageBoxText(HWND owner, std::string_view text, UINT icon) {
  MessageBoxW(owner, Wide(text).c_str(), Wide(ApplicationTitle()).c_str(), MB_OK | icon);
}

}  // namespace kassiro::winui
