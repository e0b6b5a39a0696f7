#include "MemoryPort.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace kassiro {

namespace {

constexpr Millis READ_WINDOW = 10;

// What the factory hands out: the object owns the handle, the test owns the port.
class TMemoryPortHandle final : public TBytePort {
 public:
  explicit TMemoryPortHandle(MemoryPort& port) : port_(port) {}
  void Open() override { port_.Open(); }
  void Close() override { port_.Close(); }
  bool IsOpen() const override { return port_.IsOpen(); }
  bool ReadByte(std::uint8_t& b, int& errNo) override { return port_.ReadByte(b, errNo); }
  bool Write(std::span<const std::uint8_t> bytes, std::size_t& written, int& errNo) override {
    return port_.Write(bytes, written, errNo);
  }
  void PurgeInput() override { port_.PurgeInput(); }
  std::size_t ReadWaiting(std::span<std::uint8_t> into) override { return port_.ReadWaiting(into); }
  void PurgeOutput() override { port_.PurgeOutput(); }

 private:
  MemoryPort& port_;
};

}  // namespace

MemoryPort::MemoryPort(FakeClock& clock, std::int32_t speed) : clock_(clock), speed_(speed) {}

TSimpleComObject::TPortFactory MemoryPort::Factory() {
  return [this](const std::string& portName, int speed) -> std::unique_ptr<TBytePort> {
    {
      std::lock_guard lk(mu_);
      portName_ = portName;
      speed_ = speed;
    }
    return std::make_unique<TMemoryPortHandle>(*this);
  };
}

void MemoryPort::Open() {
  std::lock_guard lk(mu_);
  if (!failOpenText_.empty()) throw ECommError(std::exchange(failOpenText_, {}));
  if (open_) throw ECommError("Unable to open port " + portName_ + "!");
  open_ = true;
  ++openCount_;
}

void MemoryPort::Close() {
  std::lock_guard lk(mu_);
  open_ = false;
}

bool MemoryPort::IsOpen() const {
  std::lock_guard lk(mu_);
  return open_;
}

bool MemoryPort::ReadByte(std::uint8_t& b, int& errNo) {
  std::lock_guard lk(mu_);
  errNo = 0;
  if (failReads_ > 0) {
    --failReads_;
    errNo = failReadErrNo_;
    clock_.Advance(READ_WINDOW);
    return false;
  }
  const Millis now = clock_.Now();
  if (incoming_.empty() || incoming_.front().at > now + READ_WINDOW) {
    clock_.Advance(READ_WINDOW);
    return false;
  }
  const TIncoming in = incoming_.front();
  incoming_.pop_front();
  if (in.at > now) clock_.Set(in.at);
  b = in.byte;
  return true;
}

bool MemoryPort::Write(std::span<const std::uint8_t> bytes, std::size_t& written, int& errNo) {
  TPeer peer;
  Millis at = 0;
  {
    std::lock_guard lk(mu_);
    written = 0;
    errNo = 0;
    if (failWrites_ > 0) {
      --failWrites_;
      errNo = failWriteErrNo_;
      return false;
    }
    at = clock_.Now();
    writes_.push_back({at, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
    clock_.Advance(TransmitTimeLocked(bytes.size()));
    written = bytes.size();
    peer = peer_;
  }
  if (peer) peer(*this, bytes, at);
  return true;
}

void MemoryPort::PurgeInput() {
  std::lock_guard lk(mu_);
  ++purgeInputCount_;
  const Millis now = clock_.Now();
  while (!incoming_.empty() && incoming_.front().at <= now) incoming_.pop_front();
}

std::size_t MemoryPort::ReadWaiting(std::span<std::uint8_t> into) {
  std::lock_guard lk(mu_);
  const Millis now = clock_.Now();
  std::size_t n = 0;
  while (n < into.size() && !incoming_.empty() && incoming_.front().at <= now) {
    into[n++] = incoming_.front().byte;
    incoming_.pop_front();
  }
  return n;
}

void MemoryPort::PurgeOutput() {
  std::lock_guard lk(mu_);
  ++purgeOutputCount_;
}

void MemoryPort::QueueIncoming(Millis at, std::span<const std::uint8_t> bytes, Millis gap) {
  std::lock_guard lk(mu_);
  for (const std::uint8_t b : bytes) {
    const auto pos = std::upper_bound(incoming_.begin(), incoming_.end(), at,
                                      [](Millis t, const TIncoming& in) { return t < in.at; });
    incoming_.insert(pos, TIncoming{at, b});
    at += gap;
  }
}

void MemoryPort::QueueIncoming(Millis at, std::initializer_list<std::uint8_t> bytes, Millis gap) {
  QueueIncoming(at, std::span<const std::uint8_t>(bytes.begin(), bytes.size()), gap);
}

void MemoryPort::QueueIncoming(Millis at, std::string_view bytes, Millis gap) {
  QueueIncoming(at, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), gap);
}

void MemoryPort::SetPeer(TPeer peer) {
  std::lock_guard lk(mu_);
  peer_ = std::move(peer);
}

void MemoryPort::FailNextReads(int n, int errNo) {
  std::lock_guard lk(mu_);
  failReads_ = n;
  failReadErrNo_ = errNo;
}

void MemoryPort::FailNextWrites(int n, int errNo) {
  std::lock_guard lk(mu_);
  failWrites_ = n;
  failWriteErrNo_ = errNo;
}

void MemoryPort::FailNextOpen(std::string text) {
  std::lock_guard lk(mu_);
  failOpenText_ = std::move(text);
}

std::vector<MemoryPort::TWrite> MemoryPort::Writes() const {
  std::lock_guard lk(mu_);
  return writes_;
}

std::vector<std::uint8_t> MemoryPort::WrittenBytes() const {
  std::lock_guard lk(mu_);
  std::vector<std::uint8_t> all;
  for (const auto& w : writes_) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
  return all;
}

void MemoryPort::ClearWrites() {
  std::lock_guard lk(mu_);
  writes_.clear();
}

std::size_t MemoryPort::PendingIncoming() const {
  std::lock_guard lk(mu_);
  return incoming_.size();
}

int MemoryPort::OpenCount() const {
  std::lock_guard lk(mu_);
  return openCount_;
}

int MemoryPort::PurgeInputCount() const {
  std::lock_guard lk(mu_);
  return purgeInputCount_;
}

int MemoryPort::PurgeOutputCount() const {
  std::lock_guard lk(mu_);
  return purgeOutputCount_;
}

std::string MemoryPort::LastPortName() const {
  std::lock_guard lk(mu_);
  return portName_;
}

std::int32_t MemoryPort::Speed() const {
  std::lock_guard lk(mu_);
  return speed_;
}

Millis MemoryPort::TransmitTime(std::size_t byteCount) const {
  std::lock_guard lk(mu_);
  return TransmitTimeLocked(byteCount);
}

// Rounded-up milliseconds of byteCount 10-bit characters, the protocol's own formula.
Millis MemoryPort::TransmitTimeLocked(std::size_t byteCount) const {
  if (speed_ <= 0) return 0;
  const std::uint64_t m = std::uint64_t{100000000u / static_cast<std::uint32_t>(speed_)} * byteCount;
  return static_cast<Millis>(m / 10000 + (m % 10000 != 0 ? 1 : 0));
}

}  // namespace kassiro
