#include "platform/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "platform/FileAccess.h"

namespace kassiro::platform {

namespace {

using TDeadline = std::chrono::steady_clock::time_point;

TDeadline After(int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

int MillisLeft(TDeadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1 << 30));
}

int Fd(const TFile& f) { return static_cast<int>(TFileAccess::Native(f)); }

[[noreturn]] void Fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

bool WaitFor(int fd, short events, TDeadline deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, MillisLeft(deadline));
    if (r < 0 && errno == EINTR) continue;
    return r > 0 && (p.revents & events);
  }
}

}  // namespace

TPty::TPty() : FMaster(TFileAccess::Adopt(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))) {
  if (!FMaster.Valid()) Fail("posix_openpt");
  const int master = Fd(FMaster);
  if (grantpt(master) != 0) Fail("grantpt");
  if (unlockpt(master) != 0) Fail("unlockpt");
  std::array<char, 128> name{};
  if (ptsname_r(master, name.data(), name.size()) != 0) Fail("ptsname_r");
  FSlavePath = name.data();
  FSlave = TFileAccess::Adopt(::open(FSlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!FSlave.Valid()) Fail("open pty slave");
  // Raw from the start: no echo back to the master, no CR/LF translation.
  struct termios t {};
  if (tcgetattr(Fd(FSlave), &t) != 0) Fail("tcgetattr");
  cfmakeraw(&t);
  if (tcsetattr(Fd(FSlave), TCSANOW, &t) != 0) Fail("tcsetattr");
}

std::string TPty::SlaveName() const {
  constexpr std::string_view dev = "/dev/";
  return FSlavePath.starts_with(dev) ? FSlavePath.substr(dev.size()) : FSlavePath;
}

bool TPty::Write(std::span<const std::uint8_t> bytes, int timeoutMs) {
  const TDeadline deadline = After(timeoutMs);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(Fd(FMaster), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitFor(Fd(FMaster), POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::size_t TPty::Read(std::span<std::uint8_t> buf, int timeoutMs) {
  if (buf.empty() || !WaitFor(Fd(FMaster), POLLIN, After(timeoutMs))) return 0;
  for (;;) {
    const ssize_t n = ::read(Fd(FMaster), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
}

std::size_t TPty::ReadExactly(std::span<std::uint8_t> buf, int timeoutMs) {
  const TDeadline deadline = After(timeoutMs);
  std::size_t got = 0;
  while (got < buf.size()) {
    const std::size_t n = Read(buf.subspan(got), MillisLeft(deadline));
    if (n == 0) break;  // time-out, or the line failed
    got += n;
  }
  return got;
}

}  // namespace kassiro::platform
