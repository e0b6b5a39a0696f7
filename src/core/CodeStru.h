// The scrambled record file: one fixed-size record kept on disk behind a fresh random
// key per save and a checksum, so that a damaged or hand-edited file is recognised and
// ignored. The object holds the file open and exclusively locked for its whole
// life; a second holder, in this process or another, gets Unique() == false, which is
// how the program allows only one running copy.
//
// File layout (Sz = record size):
//   0       12  key bytes K[0]..K[11]
//   12      1   K[12] = K[0] xor ... xor K[11]
//   13      Sz  scrambled record, S[i] = R[i] xor K[i mod 12] xor K[12]
//   13+Sz   4   checksum, sum of S[i] * i * i over uint32 with wrap-around, little-endian
// The file is written from offset 0 and never truncated; bytes behind it are ignored.
//
// The record is passed to Load and Save instead of being bound to the object: Save
// scrambles a private copy, so no thread ever sees the record in scrambled form, and
// the caller decides which lock guards the record. The object itself is not
// thread-safe (Save renews the key): callers serialise Load and Save.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

#include "platform/LockedFile.h"

namespace kassiro {

class TCodeStru {
 public:
  static constexpr std::size_t KEY_SIZE = 13;
  static constexpr std::size_t CHECKSUM_SIZE = 4;
  static constexpr std::size_t MAX_STRU_SIZE = 32768;
  using TKey = std::array<std::uint8_t, KEY_SIZE>;

  // Opens the file, creating it empty (mode 0644) if missing, and locks it; a name that
  // is a symbolic link, a FIFO or anything but a regular file is refused. Never
  // throws for file trouble: Unique() tells. sz outside 1..MAX_STRU_SIZE throws
  // std::invalid_argument.
  TCodeStru(std::filesystem::path fileName, std::size_t sz);

  // Whether this object holds the file.
  bool Unique() const { return FHandle.Held(); }
  // Why the last open or reopen failed: std::errc::operation_would_block when another
  // holder has the lock, the system's error otherwise; none after a success.
  std::error_code OpenError() const { return FOpenError; }
  // The same for a message: the system's text, or "it is a symbolic link, not a regular
  // file" and the like for a name that is not a regular file (never followed or opened).
  const std::string& OpenProblem() const { return FOpenProblem; }
  // The last open or reopen made the file: it did not exist before.
  bool Created() const { return FCreated; }
  const std::filesystem::path& FileName() const { return FFileName; }
  // Bytes in the held file (0 when not held or unknown).
  std::uintmax_t StoredSize() const;
  // Whether the file at FileName() is still the one held: false once it was removed,
  // renamed away or replaced by another file.
  bool StillAtPath() const;
  // Opens and locks the file at FileName() anew, creating it if missing, and lets go of
  // the one held so far. On failure the old one stays held and false is returned.
  bool Reopen();
  std::size_t StruSize() const { return FStruSize; }
  std::size_t FileSize() const { return KEY_SIZE + FStruSize + CHECKSUM_SIZE; }

  // Replaces record with the file's content only if the file is complete and its
  // checksum matches; returns whether it did. record.size() must be StruSize()
  // (else std::invalid_argument).
  bool Load(std::span<std::uint8_t> record);
  // Writes record under a new key at offset 0 and flushes it to disk; true once it is
  // there, false on a write or flush error (errno tells) or when the file is not held.
  // record.size() must be StruSize() (else std::invalid_argument).
  bool Save(std::span<const std::uint8_t> record);

  // b when both of its halves hold one to three 1-bits, else 0.
  static std::uint8_t NiceByte(std::uint8_t b);
  // K[12] := xor of K[0]..K[11]; returns it.
  std::uint8_t CalcKey();
  // A new random key whose 13 bytes are all nice.
  void MakeKey();
  // Scrambles, or unscrambles, bytes in place with the current key.
  void MakeMem(std::span<std::uint8_t> bytes) const;
  static std::uint32_t CheckMem(std::span<const std::uint8_t> bytes);

  const TKey& Key() const { return FKey; }
  std::uint32_t ChkSum() const { return FChkSum; }

 private:
  void CheckSize(std::size_t recordSize) const;
  void Open(platform::TLockedFile file);

  TKey FKey{};
  std::uint32_t FChkSum = 0;
  std::size_t FStruSize;
  std::filesystem::path FFileName;
  platform::TLockedFile FHandle;  // open and locked, or not held
  std::error_code FOpenError;
  std::string FOpenProblem;
  bool FCreated = false;
};

}  // namespace kassiro
