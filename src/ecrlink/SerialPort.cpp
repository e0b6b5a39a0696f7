#include "ecrlink/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

#include "ecrlink/Clock.h"
#include "ecrlink/SerialSpeed.h"
#include "ecrlink/SimpleComObject.h"

namespace kassiro {

namespace {

constexpr int READ_WINDOW_MS = 10;
constexpr std::int64_t WRITE_GRACE_MS = 1000;  // beyond the transmit time, for a stalled device

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

// A read window must last its 10 ms even when the device reports a failure at once
// (a hung-up line), or the caller's polling loop would spin.
void WaitOut(std::int64_t deadlineMs) {
  const int left = MillisLeft(deadlineMs);
  if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(left));
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

std::optional<unsigned> ComNumber(std::string_view name) {
  if (name.size() < 4) return std::nullopt;
  for (std::size_t i = 0; i < 3; ++i)
    if ((name[i] | 0x20) != "com"[i]) return std::nullopt;
  unsigned n = 0;
  const char* first = name.data() + 3;
  const char* last = name.data() + name.size();
  const auto [ptr, ec] = std::from_chars(first, last, n);
  if (ec != std::errc{} || ptr != last || n == 0) return std::nullopt;
  return n;
}

}  // namespace

std::string ResolvePortPath(std::string_view name, const TPathExists& exists) {
  if (name.empty()) return {};
  if (name.front() == '/') return std::string(name);
  if (const auto n = ComNumber(name)) return "/dev/ttyS" + std::to_string(*n - 1);
  std::string direct = "/dev/" + std::string(name);
  if (exists(direct)) return direct;
  return "/dev/tty" + std::string(name);
}

std::string ResolvePortPath(std::string_view name) {
  return ResolvePortPath(name, [](const std::string& p) {
    std::error_code ec;
    return std::filesystem::exists(p, ec);
  });
}

TSerialPort::TSerialPort(std::string portName, std::int32_t speed)
    : FName(std::move(portName)), FSpeed(speed) {}

TSerialPort::~TSerialPort() { Close(); }

void TSerialPort::Open() {
  const auto fail = [this](const char* pre, const char* post, int err) {
    FFd.reset();
    throw ECommError(pre + FName + post, err);
  };
  if (FFd.valid()) throw ECommError("Port " + FName + " already taken!", EBUSY);
  FPath = ResolvePortPath(FName);
  FFd.reset(::open(FPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!FFd.valid()) fail("Unable to open port ", "!", errno);

  struct stat st {};
  if (fstat(FFd.get(), &st) != 0 || !S_ISCHR(st.st_mode)) fail("Unable to open port ", "!", ENODEV);
  // The line belongs to one server: flock keeps out a second one even when it runs as
  // root (which TIOCEXCL does not stop), TIOCEXCL keeps out other programs.
  if (flock(FFd.get(), LOCK_EX | LOCK_NB) != 0) fail("Unable to open port ", "!", errno);
  if (ioctl(FFd.get(), TIOCEXCL) != 0 && errno != ENOTTY) fail("Unable to open port ", "!", errno);

  FIsPty = IsPtySlave(FFd.get());
  if (!Configure()) fail("Unable to configure port ", "!", errno);
  FBufPos = FBufLen = 0;
}

// Raw 8N1 at FSpeed, no flow control, no echo or translation, reads that never block
// (VMIN = VTIME = 0: we poll), DTR on and RTS off. A pseudo-terminal has no baud rate,
// so a speed it refuses is no failure there.
bool TSerialPort::Configure() {
  const int fd = FFd.get();
  struct termios t {};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB | CSIZE);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const auto standard = StandardSpeed(FSpeed);
  const speed_t code = standard.value_or(B38400);  // replaced below for other speeds
  if ((cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) && !FIsPty) return false;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;

  if (standard) {
    // tcsetattr succeeds when any of the changes took; check the speed did.
    struct termios now {};
    if (tcgetattr(fd, &now) != 0) return false;
    if (cfgetospeed(&now) != *standard && !FIsPty) return false;
  } else if (FSpeed <= 0) {
    if (!FIsPty) return false;
  } else if (const int err = SetArbitrarySpeed(fd, static_cast<std::uint32_t>(FSpeed)); err != 0) {
    errno = err;
    if (!FIsPty) return false;
  }

  if (!SetModemLine(fd, TIOCMBIS, TIOCM_DTR) || !SetModemLine(fd, TIOCMBIC, TIOCM_RTS)) return false;
  tcflush(fd, TCIFLUSH);  // nothing received before we took the line is ours
  return true;
}

void TSerialPort::Close() {
  if (!FFd.valid()) return;
  ioctl(FFd.get(), TIOCNXCL);  // a pseudo-terminal may stay open elsewhere: let us in again
  FFd.reset();                 // also drops the flock
  FBufPos = FBufLen = 0;
}

bool TSerialPort::ReadByte(std::uint8_t& b, int& errNo) {
  errNo = 0;
  if (FBufPos < FBufLen) {
    b = FBuf[FBufPos++];
    return true;
  }
  const std::int64_t deadline = TSteadyClock::Read() + READ_WINDOW_MS;
  if (!FFd.valid()) {
    errNo = EBADF;
    WaitOut(deadline);
    return false;
  }
  for (;;) {
    pollfd p{FFd.get(), POLLIN, 0};
    const int r = ::poll(&p, 1, MillisLeft(deadline));
    if (r == 0) return false;
    if (r < 0) {
      if (errno == EINTR) continue;
      errNo = errno;
      break;
    }
    if (p.revents & POLLIN) {
      const ssize_t n = ::read(FFd.get(), FBuf.data(), FBuf.size());
      if (n > 0) {
        FBufLen = static_cast<std::size_t>(n);
        FBufPos = 1;
        b = FBuf[0];
        return true;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      errNo = n < 0 ? errno : EIO;  // 0 bytes after POLLIN: the line hung up
      break;
    }
    errNo = (p.revents & POLLNVAL) ? EBADF : EIO;  // POLLHUP or POLLERR
    break;
  }
  WaitOut(deadline);
  return false;
}

bool TSerialPort::WaitWritable(std::int64_t deadlineMs, int& errNo) const {
  for (;;) {
    pollfd p{FFd.get(), POLLOUT, 0};
    const int r = ::poll(&p, 1, MillisLeft(deadlineMs));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) errNo = errno;
    else if (r == 0) errNo = ETIMEDOUT;
    else if (!(p.revents & POLLOUT)) errNo = EIO;
    else return true;
    return false;
  }
}

// Returns only when every byte is on the line (tcdrain): the reply windows of the
// protocol count from the start of the write, and output of ours is never discarded.
bool TSerialPort::Write(std::span<const std::uint8_t> bytes, std::size_t& written, int& errNo) {
  written = 0;
  errNo = 0;
  if (!FFd.valid()) {
    errNo = EBADF;
    return false;
  }
  const std::int64_t transmitMs =
      FSpeed > 0 ? static_cast<std::int64_t>(bytes.size()) * 10000 / FSpeed + 1 : 0;
  const std::int64_t deadline = TSteadyClock::Read() + transmitMs + WRITE_GRACE_MS;
  while (written < bytes.size()) {
    const ssize_t n = ::write(FFd.get(), bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitWritable(deadline, errNo)) return false;
    } else {
      errNo = n < 0 ? errno : EIO;
      return false;
    }
  }
  while (tcdrain(FFd.get()) != 0) {
    if (errno == EINTR) continue;
    errNo = errno;
    return false;
  }
  return true;
}

void TSerialPort::PurgeInput() {
  FBufPos = FBufLen = 0;
  if (FFd.valid()) tcflush(FFd.get(), TCIFLUSH);
}

std::size_t TSerialPort::ReadWaiting(std::span<std::uint8_t> into) {
  const std::size_t kept = std::min(into.size(), FBufLen - FBufPos);
  std::copy_n(FBuf.begin() + static_cast<std::ptrdiff_t>(FBufPos), kept, into.begin());
  FBufPos += kept;
  if (kept > 0 || !FFd.valid() || into.empty()) return kept;
  // VMIN = VTIME = 0: the read returns at once with what the driver holds.
  const ssize_t n = ::read(FFd.get(), into.data(), into.size());
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void TSerialPort::PurgeOutput() {
  if (FFd.valid()) tcflush(FFd.get(), TCOFLUSH);
}

}  // namespace kassiro
