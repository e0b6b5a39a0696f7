#include "ecrlink/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "ecrlink/Clock.h"

namespace kassiro {

namespace {

[[noreturn]] void Fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

bool WaitFor(int fd, short events, std::int64_t deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, MillisLeft(deadline));
    if (r < 0 && errno == EINTR) continue;
    return r > 0 && (p.revents & events);
  }
}

}  // namespace

TPty::TPty() : FMaster(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  if (!FMaster.valid()) Fail("posix_openpt");
  if (grantpt(FMaster.get()) != 0) Fail("grantpt");
  if (unlockpt(FMaster.get()) != 0) Fail("unlockpt");
  std::array<char, 128> name{};
  if (ptsname_r(FMaster.get(), name.data(), name.size()) != 0) Fail("ptsname_r");
  FSlavePath = name.data();
  FSlave.reset(::open(FSlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!FSlave.valid()) Fail("open pty slave");
  // Raw from the start: no echo back to the master, no CR/LF translation.
  struct termios t {};
  if (tcgetattr(FSlave.get(), &t) != 0) Fail("tcgetattr");
  cfmakeraw(&t);
  if (tcsetattr(FSlave.get(), TCSANOW, &t) != 0) Fail("tcsetattr");
}

std::string TPty::SlaveName() const {
  constexpr std::string_view dev = "/dev/";
  return FSlavePath.starts_with(dev) ? FSlavePath.substr(dev.size()) : FSlavePath;
}

bool TPty::Write(std::span<const std::uint8_t> bytes, int timeoutMs) {
  const std::int64_t deadline = TSteadyClock::Read() + timeoutMs;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(FMaster.get(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitFor(FMaster.get(), POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::size_t TPty::Read(std::span<std::uint8_t> buf, int timeoutMs) {
  if (buf.empty() || !WaitFor(FMaster.get(), POLLIN, TSteadyClock::Read() + timeoutMs)) return 0;
  for (;;) {
    const ssize_t n = ::read(FMaster.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
}

std::size_t TPty::ReadExactly(std::span<std::uint8_t> buf, int timeoutMs) {
  const std::int64_t deadline = TSteadyClock::Read() + timeoutMs;
  std::size_t got = 0;
  while (got < buf.size()) {
    const std::size_t n = Read(buf.subspan(got), MillisLeft(deadline));
    if (n == 0) break;  // time-out, or the line failed
    got += n;
  }
  return got;
}

}  // namespace kassiro
