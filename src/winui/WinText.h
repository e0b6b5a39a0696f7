// Texts between the operator layer (UTF-8) and the Win32 calls (UTF-16), and the small
// window helpers every window of the view shares.
#pragma once

#include "winui/Win32.h"

#include <string>
#include <string_view>

namespace kassiro::winui {

std::wstring Wide(std::string_view text);
std::string Narrow(std::wstring_view text);

// A control's text, and setting it.
std::string ControlText(HWND dialog, int id);
void SetControlText(HWND dialog, int id, std::string_view text);

// Every window of the program takes the application title as its caption.
void SetProgramCaption(HWND window);

// The application's message box with the program's caption; waits for the operator.
void MessageBoxText(HWND owner, std::string_view text, UINT icon);

}  // namespace kassiro::winui
