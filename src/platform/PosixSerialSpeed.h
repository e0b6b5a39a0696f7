#pragma once
// Inside the platform library only: line speeds outside the termios table (14400, 28800
// baud) set through termios2. <asm/termbits.h> clashes with <termios.h>, so this lives in
// a unit of its own.

#include <cstdint>

namespace kassiro::platform {

// Sets input and output speed of the open tty fd to any baud rate (BOTHER).
// Returns 0 or the errno of the failing ioctl.
int SetArbitrarySpeed(int fd, std::uint32_t baud);

}  // namespace kassiro::platform
