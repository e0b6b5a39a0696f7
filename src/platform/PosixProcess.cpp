#include "platform/Process.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace kassiro::platform {

std::error_code RaiseProcessPriority() {
  if (::setpriority(PRIO_PROCESS, 0, -20) != 0) return {errno, std::generic_category()};
  return {};
}

void IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

bool InputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

}  // namespace kassiro::platform
