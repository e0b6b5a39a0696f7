#include "platform/Pty.h"

#include <system_error>

namespace kassiro::platform {

// Windows has no pseudo-terminals: the simulator runs on a named serial port there.
TPty::TPty() {
  throw std::system_error(std::make_error_code(std::errc::function_not_supported),
                          "no pseudo-terminal on this platform");
}

std::string TPty::SlaveName() const { return {}; }
bool TPty::Write(std::span<const std::uint8_t>, int) { return false; }
std::size_t TPty::Read(std::span<std::uint8_t>, int) { return 0; }
std::size_t TPty::ReadExactly(std::span<std::uint8_t>, int) { return 0; }

}  // namespace kassiro::platform
