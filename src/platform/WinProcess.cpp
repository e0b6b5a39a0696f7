#include "platform/Process.h"

#include <windows.h>
#include <io.h>

#include <cstdio>

#include "platform/WinText.h"

namespace kassiro::platform {

// The real-time class, as the program has always asked for; without the right to it
// Windows grants the high class instead and reports success, so a failure here is a
// refusal of both.
std::error_code RaiseProcessPriority() {
  if (!::SetPriorityClass(::GetCurrentProcess(), REALTIME_PRIORITY_CLASS)) return LastWindowsError();
  return {};
}

// A write to a closed pipe or socket fails with an error on Windows already.
void IgnoreBrokenPipes() {}

bool InputIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }

}  // namespace kassiro::platform
