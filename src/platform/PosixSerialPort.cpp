#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "platform/PosixSerialSpeed.h"
#include "platform/SerialPort.h"

namespace kassiro::platform {

namespace {

using TClock = std::chrono::steady_clock;

struct TSpeedCode {
  std::int32_t baud;
  speed_t code;
};
constexpr std::array<TSpeedCode, 14> STANDARD_SPEEDS = {{
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
}};

std::optional<speed_t> StandardSpeed(std::int32_t baud) {
  for (const auto& s : STANDARD_SPEEDS)
    if (s.baud == baud) return s.code;
  return std::nullopt;
}

std::error_code Errno(int e) { return {e, std::generic_category()}; }

int MillisLeft(TClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Unix98 pseudo-terminal slaves (/dev/pts/N) have majors 136..143.
bool IsPtySlave(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  const unsigned m = major(st.st_rdev);
  return S_ISCHR(st.st_mode) && m >= 136 && m <= 143;
}

// Modem lines: a pseudo-terminal has none, which is no failure.
bool SetModemLine(int fd, unsigned long request, int bits) {
  if (ioctl(fd, request, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

// Raw 8N1 at speed, no flow control, no echo or translation, reads that never block
// (VMIN = VTIME = 0: we poll), DTR on and RTS off. A pseudo-terminal has no baud rate,
// so a speed it refuses is no failure there.
bool Configure(int fd, std::int32_t speed, bool isPty) {
  struct termios t {};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB | CSIZE);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const auto standard = StandardSpeed(speed);
  const speed_t code = standard.value_or(B38400);  // replaced below for other speeds
  if ((cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) && !isPty) return false;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;

  if (standard) {
    // tcsetattr succeeds when any of the changes took; check the speed did.
    struct termios now {};
    if (tcgetattr(fd, &now) != 0) return false;
    if (cfgetospeed(&now) != *standard && !isPty) return false;
  } else if (speed <= 0) {
    if (!isPty) return false;
  } else if (const int err = SetArbitrarySpeed(fd, static_cast<std::uint32_t>(speed)); err != 0) {
    errno = err;
    if (!isPty) return false;
  }

  if (!SetModemLine(fd, TIOCMBIS, TIOCM_DTR) || !SetModemLine(fd, TIOCMBIC, TIOCM_RTS)) return false;
  tcflush(fd, TCIFLUSH);  // nothing received before we took the line is ours
  return true;
}

}  // namespace

struct TSerialLine::TNative {
  int Fd = -1;
  void Reset() {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
  }
  ~TNative() { Reset(); }
};

TSerialLine::TSerialLine() : FNative(std::make_unique<TNative>()) {}

TSerialLine::~TSerialLine() { Close(); }

bool TSerialLine::IsOpen() const { return FNative->Fd >= 0; }

std::optional<TSerialLine::TOpenFailure> TSerialLine::Open(std::string_view portName, std::int32_t speed) {
  Close();
  const auto fail = [this](TStep step, int err) {
    FNative->Reset();
    return TOpenFailure{step, Errno(err)};
  };
  FPath = ResolvePortPath(portName);
  const int fd = ::open(FPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(TStep::Open, errno);
  FNative->Fd = fd;

  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return fail(TStep::Open, ENODEV);
  // The line belongs to one server: flock keeps out a second one even when it runs as
  // root (which TIOCEXCL does not stop), TIOCEXCL keeps out other programs.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(TStep::Open, errno);
  if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) return fail(TStep::Open, errno);

  FIsPty = IsPtySlave(fd);
  if (!Configure(fd, speed, FIsPty)) return fail(TStep::Configure, errno);
  return std::nullopt;
}

void TSerialLine::Close() {
  if (FNative->Fd < 0) return;
  ioctl(FNative->Fd, TIOCNXCL);  // a pseudo-terminal may stay open elsewhere: let us in again
  FNative->Reset();              // also drops the flock
}

TSerialRead TSerialLine::Read(std::span<std::uint8_t> into, std::chrono::milliseconds wait) {
  const int fd = FNative->Fd;
  if (fd < 0) return {0, Errno(EBADF)};
  const auto deadline = TClock::now() + wait;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, MillisLeft(deadline));
    if (r == 0) return {};
    if (r < 0) {
      if (errno == EINTR) continue;
      return {0, Errno(errno)};
    }
    if (p.revents & POLLIN) {
      const ssize_t n = ::read(fd, into.data(), into.size());
      if (n > 0) return {static_cast<std::size_t>(n), {}};
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return {0, Errno(n < 0 ? errno : EIO)};  // 0 bytes after POLLIN: the line hung up
    }
    return {0, Errno((p.revents & POLLNVAL) ? EBADF : EIO)};  // POLLHUP or POLLERR
  }
}

std::size_t TSerialLine::ReadWaiting(std::span<std::uint8_t> into) {
  if (FNative->Fd < 0 || into.empty()) return 0;
  // VMIN = VTIME = 0: the read returns at once with what the driver holds.
  const ssize_t n = ::read(FNative->Fd, into.data(), into.size());
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Returns only when every byte is on the line (tcdrain): the reply windows of the
// protocol count from the start of the write, and output of ours is never discarded.
std::error_code TSerialLine::Write(std::span<const std::uint8_t> bytes, std::size_t& written,
                                   std::chrono::milliseconds limit) {
  written = 0;
  const int fd = FNative->Fd;
  if (fd < 0) return Errno(EBADF);
  const auto deadline = TClock::now() + limit;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, MillisLeft(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Errno(errno);
      if (r == 0) return Errno(ETIMEDOUT);
      if (!(p.revents & POLLOUT)) return Errno(EIO);
    } else {
      return Errno(n < 0 ? errno : EIO);
    }
  }
  while (tcdrain(fd) != 0) {
    if (errno == EINTR) continue;
    return Errno(errno);
  }
  return {};
}

void TSerialLine::PurgeInput() {
  if (FNative->Fd >= 0) tcflush(FNative->Fd, TCIFLUSH);
}

void TSerialLine::PurgeOutput() {
  if (FNative->Fd >= 0) tcflush(FNative->Fd, TCOFLUSH);
}

}  // namespace kassiro::platform
