#include "util/CodeStru.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

namespace kassiro {

namespace {

constexpr std::size_t KEY_BODY = TCodeStru::KEY_SIZE - 1;  // K[0]..K[11]

// Fills bytes from the kernel's generator; std::random_device only if that fails.
void RandomBytes(std::span<std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = getrandom(bytes.data() + done, bytes.size() - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (done == bytes.size()) return;
  std::random_device device;
  std::uniform_int_distribution<int> byte(0, 255);
  for (; done < bytes.size(); ++done) bytes[done] = static_cast<std::uint8_t>(byte(device));
}

// A random byte of 1..255 for which NiceByte is not 0 (uniform over those bytes).
std::uint8_t RandomNiceByte() {
  for (;;) {
    std::array<std::uint8_t, 16> pool{};
    RandomBytes(pool);
    for (std::uint8_t b : pool) {
      if (TCodeStru::NiceByte(b) != 0) return b;
    }
  }
}

// The file opened as one of the program's own (no link, no FIFO...) and locked; on
// failure not valid, with its reason (EWOULDBLOCK: another holder).
TOwnFile OpenLocked(const std::filesystem::path& fileName) {
  TOwnFile f = OpenOwnFile(fileName, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (!f.Valid()) return f;
  int rc = 0;
  do {
    rc = ::flock(f.Get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return f;
  const int err = errno;
  f = TOwnFile();  // closed: errno below tells why
  errno = err;
  return f;
}

// Reads bytes.size() bytes at offset 0; false when the file holds fewer or fails.
bool ReadAll(int fd, std::span<std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done,
                              static_cast<off_t>(done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Writes all bytes at offset 0; false on an error (errno tells).
bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      errno = ENOSPC;
      return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

std::uint32_t ReadLE32(std::span<const std::uint8_t, 4> b) {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void WriteLE32(std::uint32_t v, std::span<std::uint8_t, 4> b) {
  for (std::size_t i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

constexpr int OneBits(unsigned nibble) {
  return static_cast<int>((nibble & 1u) + (nibble >> 1 & 1u) + (nibble >> 2 & 1u) +
                          (nibble >> 3 & 1u));
}

}  // namespace

TCodeStru::TFileHandle& TCodeStru::TFileHandle::operator=(TFileHandle&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

TCodeStru::TFileHandle::~TFileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

TCodeStru::TCodeStru(std::filesystem::path fileName, std::size_t sz)
    : FStruSize(sz), FFileName(std::move(fileName)) {
  if (sz < 1 || sz > MAX_STRU_SIZE) {
    throw std::invalid_argument("TCodeStru: record size outside 1..32768");
  }
  Open(OpenLocked(FFileName));
}

void TCodeStru::Open(TOwnFile file) {
  FCreated = file.Created();
  FOpenErrno = file.Valid() ? 0 : (file.Errno() != 0 ? file.Errno() : errno);
  FOpenProblem = file.Valid() ? "" : (file.Errno() != 0 ? file.Problem() : std::strerror(FOpenErrno));
  FHandle = TFileHandle(file.Release());
}

std::uintmax_t TCodeStru::StoredSize() const {
  struct stat st {};
  if (!Unique() || ::fstat(FHandle.Get(), &st) != 0) return 0;
  return static_cast<std::uintmax_t>(st.st_size);
}

bool TCodeStru::StillAtPath() const {
  struct stat held {}, atPath {};
  if (!Unique() || ::fstat(FHandle.Get(), &held) != 0) return false;
  if (::lstat(FFileName.c_str(), &atPath) != 0) return false;  // a link there is not it
  return held.st_nlink > 0 && held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino;
}

bool TCodeStru::Reopen() {
  TOwnFile fresh = OpenLocked(FFileName);
  if (!fresh.Valid()) {
    FOpenErrno = fresh.Errno() != 0 ? fresh.Errno() : errno;
    FOpenProblem = fresh.Errno() != 0 ? fresh.Problem() : std::strerror(FOpenErrno);
    return false;
  }
  Open(std::move(fresh));
  return true;
}

void TCodeStru::CheckSize(std::size_t recordSize) const {
  if (recordSize != FStruSize) throw std::invalid_argument("TCodeStru: record of another size");
}

std::uint8_t TCodeStru::NiceByte(std::uint8_t b) {
  const int low = OneBits(b & 0x0Fu);
  const int high = OneBits(b >> 4);
  return (low >= 1 && low <= 3 && high >= 1 && high <= 3) ? b : 0;
}

std::uint8_t TCodeStru::CalcKey() {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < KEY_BODY; ++i) x ^= FKey[i];
  FKey[KEY_BODY] = x;
  return x;
}

void TCodeStru::MakeKey() {
  do {
    for (std::size_t i = 0; i < KEY_BODY; ++i) FKey[i] = RandomNiceByte();
  } while (NiceByte(CalcKey()) == 0);
}

void TCodeStru::MakeMem(std::span<std::uint8_t> bytes) const {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] ^= static_cast<std::uint8_t>(FKey[i % KEY_BODY] ^ FKey[KEY_BODY]);
  }
}

std::uint32_t TCodeStru::CheckMem(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto w = static_cast<std::uint32_t>(i);
    sum += bytes[i] * w * w;  // wraps around modulo 2^32
  }
  return sum;
}

bool TCodeStru::Load(std::span<std::uint8_t> record) {
  CheckSize(record.size());
  if (!Unique()) return false;
  std::vector<std::uint8_t> image;
  try {
    image.resize(FileSize());
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!ReadAll(FHandle.Get(), image)) return false;
  const std::span<std::uint8_t> body(image.data() + KEY_SIZE, FStruSize);
  const std::uint32_t stored = ReadLE32(std::span<const std::uint8_t, 4>(
      image.data() + KEY_SIZE + FStruSize, CHECKSUM_SIZE));
  if (CheckMem(body) != stored) return false;
  std::copy_n(image.begin(), KEY_SIZE, FKey.begin());  // K[12] as read, not recomputed
  FChkSum = stored;
  MakeMem(body);
  std::copy(body.begin(), body.end(), record.begin());
  return true;
}

bool TCodeStru::Save(std::span<const std::uint8_t> record) {
  CheckSize(record.size());
  if (!Unique()) {
    errno = EBADF;
    return false;
  }
  MakeKey();
  std::vector<std::uint8_t> image(FileSize());
  std::copy(FKey.begin(), FKey.end(), image.begin());
  const std::span<std::uint8_t> body(image.data() + KEY_SIZE, FStruSize);
  std::copy(record.begin(), record.end(), body.begin());
  MakeMem(body);
  FChkSum = CheckMem(body);
  WriteLE32(FChkSum, std::span<std::uint8_t, 4>(image.data() + KEY_SIZE + FStruSize,
                                                CHECKSUM_SIZE));
  // fdatasync: the data and the size that reading it needs; the time stamps may lag.
  return WriteAll(FHandle.Get(), image) && ::fdatasync(FHandle.Get()) == 0;
}

}  // namespace kassiro
