// Whether a Windows test program runs under Wine, for the few checks where Wine is known
// to differ from Windows (each says how beside it). False on every other system.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace kassiro::testing {

inline bool UnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace kassiro::testing
