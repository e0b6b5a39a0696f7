// An in-memory serial line on a FakeClock, for the protocol's tests.
//
// Reading follows the real port's 10 ms window: ReadByte returns the next incoming
// byte whose arrival time is at most now + 10 (moving the clock to its arrival when
// that is later than now); otherwise it moves the clock 10 ms on and returns false.
// A write is recorded with the time it began and moves the clock on by the bytes'
// transmit time (the real port drains every write). Incoming bytes are queued up front
// or by a peer callback that sees every write as it happens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FakeClock.h"
#include "ecrlink/BytePort.h"
#include "ecrlink/SimpleComObject.h"

namespace kassiro {

class MemoryPort final : public TBytePort {
 public:
  struct TWrite {
    Millis at;  // when the write began
    std::vector<std::uint8_t> bytes;
  };
  // Called after each successful write, outside the port's lock: may queue replies.
  using TPeer = std::function<void(MemoryPort& port, std::span<const std::uint8_t> bytes, Millis at)>;

  explicit MemoryPort(FakeClock& clock, std::int32_t speed = 9600);

  // For TSimpleComObject: hands out this port (not owned; it must outlive the object)
  // and records the name and speed asked for; the speed becomes the port's speed.
  TSimpleComObject::TPortFactory Factory();

  // TBytePort. Open throws ECommError "Unable to open port <name>!" while already open
  // (a second server on the same line) or the text given to FailNextOpen.
  void Open() override;
  void Close() override;
  bool IsOpen() const override;
  bool ReadByte(std::uint8_t& b, int& errNo) override;
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written, int& errNo) override;
  void PurgeInput() override;   // drops bytes that have already arrived
  std::size_t ReadWaiting(std::span<std::uint8_t> into) override;  // those bytes, read
  void PurgeOutput() override;  // counted only: nothing is ever pending

  // Incoming bytes: byte i arrives at at + i * gap.
  void QueueIncoming(Millis at, std::span<const std::uint8_t> bytes, Millis gap = 0);
  void QueueIncoming(Millis at, std::initializer_list<std::uint8_t> bytes, Millis gap = 0);
  void QueueIncoming(Millis at, std::string_view bytes, Millis gap = 0);
  void SetPeer(TPeer peer);

  // Sets the peer for a scope and removes it when the guard goes, so that the peer may
  // capture locals of a test although the protocol object writes again when it closes.
  class TScopedPeer {
   public:
    TScopedPeer(MemoryPort& port, TPeer peer) : port_(port) { port_.SetPeer(std::move(peer)); }
    ~TScopedPeer() { port_.SetPeer({}); }
    TScopedPeer(const TScopedPeer&) = delete;
    TScopedPeer& operator=(const TScopedPeer&) = delete;

   private:
    MemoryPort& port_;
  };
  [[nodiscard]] TScopedPeer ScopedPeer(TPeer peer) { return TScopedPeer(*this, std::move(peer)); }

  // Failure injection: the next n reads / writes fail with errNo; the next Open throws.
  void FailNextReads(int n, int errNo);
  void FailNextWrites(int n, int errNo);
  void FailNextOpen(std::string text);

  // What went out.
  std::vector<TWrite> Writes() const;
  std::vector<std::uint8_t> WrittenBytes() const;  // all writes joined
  void ClearWrites();

  std::size_t PendingIncoming() const;
  int OpenCount() const;
  int PurgeInputCount() const;
  int PurgeOutputCount() const;
  std::string LastPortName() const;
  std::int32_t Speed() const;
  Millis TransmitTime(std::size_t byteCount) const;  // as the protocol computes it

 private:
  struct TIncoming {
    Millis at;
    std::uint8_t byte;
  };
  Millis TransmitTimeLocked(std::size_t byteCount) const;

  FakeClock& clock_;
  mutable std::mutex mu_;
  std::int32_t speed_;
  std::string portName_;
  bool open_ = false;
  int openCount_ = 0;
  int purgeInputCount_ = 0;
  int purgeOutputCount_ = 0;
  int failReads_ = 0;
  int failReadErrNo_ = 0;
  int failWrites_ = 0;
  int failWriteErrNo_ = 0;
  std::string failOpenText_;
  std::deque<TIncoming> incoming_;  // ordered by arrival
  std::vector<TWrite> writes_;
  TPeer peer_;
};

}  // namespace kassiro
