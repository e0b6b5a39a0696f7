#include "core/CodeStru.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/RandomBytes.h"

namespace kassiro {

namespace {

constexpr std::size_t KEY_BODY = TCodeStru::KEY_SIZE - 1;  // K[0]..K[11]

// A random byte of 1..255 for which NiceByte is not 0 (uniform over those bytes).
std::uint8_t RandomNiceByte() {
  for (;;) {
    std::array<std::uint8_t, 16> pool{};
    platform::RandomBytes(pool);
    for (std::uint8_t b : pool) {
      if (TCodeStru::NiceByte(b) != 0) return b;
    }
  }
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

TCodeStru::TCodeStru(std::filesystem::path fileName, std::size_t sz)
    : FStruSize(sz), FFileName(std::move(fileName)) {
  if (sz < 1 || sz > MAX_STRU_SIZE) {
    throw std::invalid_argument("TCodeStru: record size outside 1..32768");
  }
  Open(platform::TLockedFile::Open(FFileName));
}

void TCodeStru::Open(platform::TLockedFile file) {
  FCreated = file.Created();
  FOpenError = file.Error();
  FOpenProblem = file.Problem();
  FHandle = std::move(file);
}

std::uintmax_t TCodeStru::StoredSize() const { return FHandle.File().Size().value_or(0); }

bool TCodeStru::StillAtPath() const { return FHandle.File().IsAt(FFileName); }

bool TCodeStru::Reopen() {
  platform::TLockedFile fresh = platform::TLockedFile::Open(FFileName);
  if (!fresh.Held()) {
    FOpenError = fresh.Error();
    FOpenProblem = fresh.Problem();
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
  if (FHandle.File().ReadAt(0, image).bytes != image.size()) return false;
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
  std::error_code error = FHandle.File().WriteAllAt(0, image);
  if (!error) error = FHandle.File().FlushToDisk();
  if (!error) return true;
  errno = error.value();  // for the caller's message, as the contract above says
  return false;
}

}  // namespace kassiro
