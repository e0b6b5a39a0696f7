#include "ecrlink/SimpleComObject.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "core/LogFile.h"
#include "ecrlink/FrameCodec.h"
#include "ecrlink/ProtConst.h"
#include "ecrlink/SerialPort.h"
#include "core/KassiroConstants.h"
#include "util/BarDefs.h"

namespace kassiro {

namespace {

std::span<const std::uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

bool LaterThan(Millis now, Millis start, Millis timeOut) { return now - start > timeOut; }

// Failures that mean the device itself is gone, not just one transfer.
bool LineGone(int errNo) {
  return errNo == EIO || errNo == ENXIO || errNo == ENODEV || errNo == EBADF;
}

}  // namespace

// ---------------------------------------------------------------- TNoiseThread

TNoiseThread::TNoiseThread(TSimpleComObject& Owner) : FOwner(Owner), FThread([this] { Execute(); }) {}

TNoiseThread::~TNoiseThread() {
  {
    std::lock_guard lk(FMutex);
    FTerminated = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TNoiseThread::Resume() {
  {
    std::lock_guard lk(FMutex);
    FStop = false;
  }
  FWake.notify_all();
}

void TNoiseThread::Park() {
  std::unique_lock lk(FMutex);
  FStop = true;
  FWake.notify_all();
  FChanged.wait(lk, [this] { return !FInStep; });
}

void TNoiseThread::Execute() {
  std::unique_lock lk(FMutex);
  while (!FTerminated) {
    FWake.wait(lk, [this] { return !FStop || FTerminated; });  // parked
    while (!FStop && !FTerminated) {
      FInStep = true;
      lk.unlock();
      try {
        FOwner.NoiseStep();
      } catch (...) {
        // Filler is best effort; the thread must not take the process down.
      }
      lk.lock();
      FInStep = false;
      FChanged.notify_all();
      FWake.wait_for(lk, PERIOD, [this] { return FStop || FTerminated; });
    }
  }
}

// ------------------------------------------------------------ TSimpleComObject

TSimpleComObject::TPortFactory TSimpleComObject::DefaultPortFactory() {
  return [](const std::string& portName, int speed) -> std::unique_ptr<TBytePort> {
    return std::make_unique<TSerialPort>(portName, speed);
  };
}

TSimpleComObject::TSimpleComObject(TPortFactory PortFactory, TClock& Clock)
    : FPortFactory(std::move(PortFactory)),
      FClock(Clock),
      FLog([](std::string_view line) { LogAddLine(line); }) {}

TSimpleComObject::~TSimpleComObject() {
  try {
    CloseEcrPort();
  } catch (...) {
    // Closing only writes a release request, which does not throw; nothing to report.
  }
}

bool TSimpleComObject::IsOpen() const {
  std::lock_guard lk(csRW);
  return FPort != nullptr;
}

// A lost line counts as open: it is being brought back, and its operations fail
// quietly meanwhile.
void TSimpleComObject::CheckOpen() const {
  if (!IsOpen() && !FLost) throw ECommError("Port not open " + FCommPortName + "!");
}

void TSimpleComObject::OpenEcrPort() {
  if (IsOpen()) throw ECommError("Port " + FCommPortName + " already taken!");
  // Without a row of the speed table a frame has no fill count: refuse the speed.
  const std::int32_t spIndex = GetSpeedIndex(FSpeed);
  if (spIndex < 0)
    throw ECommError("Unsupported speed " + std::to_string(FSpeed) + " for port " + FCommPortName + "!");
  std::unique_ptr<TBytePort> port = FPortFactory ? FPortFactory(FCommPortName, FSpeed) : nullptr;
  if (!port) throw ECommError("Unable to open port " + FCommPortName + "!");
  port->Open();  // throws ECommError with the port's texts
  {
    std::lock_guard lk(csRW);
    FPort = std::move(port);
    FSpIndex = spIndex;
    FFailedIo = 0;
    FAborted = false;
    FLost = false;
    FLastBeginSend = FClock.Now();  // the line is quiet since it opened
    FLastTimeForSend = 0;
  }
  try {
    FNoise = std::make_unique<TNoiseThread>(*this);
  } catch (...) {
    std::lock_guard lk(csRW);
    FPort->Close();
    FPort.reset();
    throw;
  }
}

void TSimpleComObject::CloseEcrPort() {
  if (!IsOpen() && !FLost) return;
  FreeEcr();
  FNoise.reset();
  std::lock_guard lk(csRW);
  if (FPort) FPort->Close();
  FPort.reset();
  FLost = false;
}

bool TSimpleComObject::ReopenEcrPort() {
  if (!FLost) return true;
  if (FAborted) return false;
  std::unique_ptr<TBytePort> gone;
  {
    std::lock_guard lk(csRW);
    gone = std::move(FPort);  // the filler writes nothing while there is no port
  }
  if (gone) gone->Close();
  std::unique_ptr<TBytePort> port = FPortFactory ? FPortFactory(FCommPortName, FSpeed) : nullptr;
  if (!port) return false;
  try {
    port->Open();
  } catch (const ECommError&) {
    return false;  // not back yet; the caller tries again later
  }
  {
    std::lock_guard lk(csRW);
    FPort = std::move(port);
    FFailedIo = 0;
    FLastBeginSend = FClock.Now();
    FLastTimeForSend = 0;
  }
  FLost = false;
  if (FLog) FLog("Port " + FCommPortName + " open again");
  return true;
}

void TSimpleComObject::NoiseOn() {
  if (FNoise) FNoise->Resume();
}

void TSimpleComObject::NoiseOff() {
  if (FNoise) FNoise->Park();
}

void TSimpleComObject::NoiseStep() {
  std::lock_guard lk(csRW);
  if (!FPort || FLost) return;
  const Millis idle = FClock.Now() - FLastBeginSend.load();
  if (idle <= Millis{FLastTimeForSend.load()} + NOISE_TIMEOUT) return;
  const TWriteResult w = WriteLocked(IDLE_FILLER);
  if (!w.ok) IoFailed("WriteFileCs error ", w.errNo, "! NoiseThread");
}

// Every write completes on the line before csRW is released (the port drains it), so
// there is never output of ours pending to purge first, and none is ever discarded.
TSimpleComObject::TWriteResult TSimpleComObject::WriteLocked(std::span<const std::uint8_t> bytes) {
  TWriteResult r;
  r.begin = FClock.Now();
  if (!FPort) {  // a lost line between two attempts to open it again
    r.errNo = EBADF;
    return r;
  }
  FLastBeginSend = r.begin;
  std::size_t written = 0;
  r.ok = FPort->Write(bytes, written, r.errNo);
  if (FTrace != nullptr) FTrace->Record(TTraceDir::ToLine, bytes.first(std::min(written, bytes.size())));
  r.timeForSend = GetTimeForSend(static_cast<std::uint32_t>(written));
  FLastTimeForSend = r.timeForSend;
  if (r.ok) IoWorked();
  return r;
}

TSimpleComObject::TWriteResult TSimpleComObject::WriteFileCs(std::span<const std::uint8_t> bytes) {
  std::lock_guard lk(csRW);
  return WriteLocked(bytes);
}

TSimpleComObject::TWriteResult TSimpleComObject::SendAckNak(std::uint8_t b) {
  const std::array<std::uint8_t, 2> msg = {ECR_FF, b};
  const TWriteResult w = WriteFileCs(msg);
  if (!w.ok) IoFailed("Write error ", w.errNo, "! AckNak");
  return w;
}

bool TSimpleComObject::ReadOne(std::uint8_t& b, std::string_view where) {
  int errNo = 0;
  bool got = false;
  {
    std::lock_guard lk(csRW);
    if (!FPort) return false;  // a lost line between two attempts to open it again
    got = FPort->ReadByte(b, errNo);
    if (got && FTrace != nullptr) FTrace->Record(TTraceDir::FromLine, std::span(&b, 1));
  }
  if (!got && errNo != 0) IoFailed("Read error ", errNo, where);
  else IoWorked();
  return got;
}

// What the purge before a take would throw away unseen goes into a running trace: late
// frames show there. Reading them first leaves the same line as the purge alone.
// What waits before a take's purge is read first: traced while a trace runs, and
// searched for intact frames, which no take asked for (a device that streams frames, or
// a register answering long after its take).
void TSimpleComObject::DrainBeforeTake() {
  if (!FPort) return;
  const bool tracing = FTrace != nullptr && FTrace->Running();
  std::array<std::uint8_t, 256> buf{};
  TFrameReceiver rx;
  for (std::size_t total = 0; total < DRAIN_LIMIT;) {
    const std::size_t n = FPort->ReadWaiting(buf);
    if (n == 0) break;
    if (tracing) FTrace->Record(TTraceDir::Discarded, std::span(buf.data(), n));
    for (std::size_t i = 0; i < n; ++i)
      if (rx.Consume(buf[i]) == TRxEvent::rxFrameGood) FrameOutsideTake(rx.Payload());
    total += n;
  }
  if (FOutsideUnlogged > 0) LogOutsideTake(FClock.Now());
}

// Counted at once; logged at most once every OUTSIDE_LOG_EVERY with the first few
// serial numbers they carried.
void TSimpleComObject::FrameOutsideTake(const ShortStr& Payload) {
  if (FStats != nullptr) FStats->CountOutsideTake();
  ++FOutsideUnlogged;
  const std::int32_t serial = SerialNumberOf(GetParam(Payload.view(), POS_ECR_SERIAL_NUMER));
  constexpr std::size_t SERIALS_NAMED = 5;
  if (FOutsideSerials.size() < SERIALS_NAMED &&
      std::find(FOutsideSerials.begin(), FOutsideSerials.end(), serial) == FOutsideSerials.end())
    FOutsideSerials.push_back(serial);
}

void TSimpleComObject::LogOutsideTake(Millis now) {
  if (FOutsideLogged && now - *FOutsideLogged < OUTSIDE_LOG_EVERY) return;
  std::string line = "Line: " + std::to_string(FOutsideUnlogged) + " frame(s) arrived outside any take, serial ";
  for (std::size_t i = 0; i < FOutsideSerials.size(); ++i)
    line += (i ? ", " : "") + std::to_string(FOutsideSerials[i]);
  if (FLog) FLog(line);
  FOutsideLogged = now;
  FOutsideUnlogged = 0;
  FOutsideSerials.clear();
}

// A device that has gone (adapter pulled, other side of a pty closed) marks the line
// lost, logged once; the polling thread then brings it back. Other failures are left
// to the time-outs: only the first of a run is logged, and one line when the line
// works again.
void TSimpleComObject::IoFailed(std::string_view what, int errNo, std::string_view where) {
  std::string line(what);
  line += std::to_string(errNo);
  line += where;
  if (LineGone(errNo)) {
    if (!FLost.exchange(true) && FLog) FLog("Port " + FCommPortName + " lost: " + line);
    return;
  }
  if (FFailedIo.fetch_add(1) != 0) return;
  if (FLog) FLog(line);
}

void TSimpleComObject::IoWorked() {
  if (FFailedIo.load(std::memory_order_relaxed) == 0) return;
  const std::uint32_t n = FFailedIo.exchange(0);
  if (n > 0 && FLog)
    FLog("Serial line recovered after " + std::to_string(n) + " failed reads/writes");
}

void TSimpleComObject::FreeEcr() {
  CheckOpen();
  FCurrentEcr = 0;
  if (FLost) return;
  const TWriteResult w = WriteFileCs(RELEASE_REQUEST);
  if (!w.ok) IoFailed("WriteFileCs error ", w.errNo, "! FreeEcr");
}

std::int32_t TSimpleComObject::TakeEcr(std::int32_t Ecr, ShortStr& Block) {
  CheckOpen();
  Block.clear();
  if (Stopped()) return RES_TIMEOUT;
  FCurrentEcr = Ecr;
  Count(TLineCount::Take);
  const ShortStr request = MakeTakeRequest(Ecr);
  {
    std::lock_guard lk(csRW);
    DrainBeforeTake();
    FPort->PurgeInput();  // whatever came before the request is not the reply
  }
  const TWriteResult w = WriteFileCs(Bytes(request));
  if (!w.ok) IoFailed("Write error ", w.errNo, "! TakeEcr");
  // The reply's first byte is due within twice the request's transmit time + TAKE_TO.
  const Millis window = Millis{w.timeForSend} + TAKE_TO + w.timeForSend;
  const std::int32_t result = ReceiveFrame(Block, w.begin, window, TFrameCheck::TakeReply);
  if (result == RES_OK) Count(TLineCount::TakeAnswered);
  return result;
}

std::int32_t TSimpleComObject::GetBlock(ShortStr& Block, std::uint32_t BegTimeOut) {
  CheckOpen();
  Block.clear();
  if (Stopped()) return RES_TIMEOUT;
  const Millis start = FLastBeginSend.load();
  return ReceiveFrame(Block, start, Millis{BegTimeOut} + FLastTimeForSend.load());
}

// Receives one data frame: its 0A within timeOut of start, then every byte within
// BYTE_TO of the one before. A bad frame is asked for again up to REPEAT_COUNT times.
// A take reply that the reply check refuses or holds gets no ACK yet; the take's own
// reply is then due within TAKE_TO of that frame's end, for at most REPEAT_COUNT such
// frames. A held frame with nothing after it is the reply if the check then takes it.
std::int32_t TSimpleComObject::ReceiveFrame(ShortStr& Block, Millis start, Millis timeOut,
                                            TFrameCheck check) {
  Block.clear();
  TFrameReceiver rx;
  int repeat = REPEAT_COUNT;
  int refused = 0;
  std::optional<ShortStr> held;
  const auto take = [&](const ShortStr& reply) {
    SendAckNak(ECR_ACK);
    Block = reply;
    if (FStats != nullptr) FStats->Answered(FCurrentEcr.load(std::memory_order_relaxed));
    return RES_OK;
  };
  for (;;) {
    std::uint8_t b = 0;
    const bool got = ReadOne(b, "! GetBlock");
    const Millis now = FClock.Now();
    if (Stopped()) return RES_TIMEOUT;
    if (LaterThan(now, start, timeOut)) {
      if (held && CheckReply(*held, true) == TReplyAnswer::Take) return take(*held);
      Count(TLineCount::TimeOut);
      return refused > 0 || held ? RES_DIFF : RES_TIMEOUT;
    }
    if (!got) continue;
    switch (rx.Consume(b)) {
      case TRxEvent::rxIgnored:
        break;
      case TRxEvent::rxProgress:
        start = now;
        timeOut = BYTE_TO;
        break;
      case TRxEvent::rxFrameGood: {
        const TReplyAnswer a = check == TFrameCheck::TakeReply ? CheckReply(rx.Payload()) : TReplyAnswer::Take;
        if (a == TReplyAnswer::Take) return take(rx.Payload());
        if (a == TReplyAnswer::Wait) held = rx.Payload();
        if (++refused > REPEAT_COUNT) {
          if (held && CheckReply(*held, true) == TReplyAnswer::Take) return take(*held);
          return RES_DIFF;
        }
        start = now;
        timeOut = TAKE_TO;
        break;
      }
      case TRxEvent::rxFrameBad: {
        Count(TLineCount::BadCrc);
        if (repeat <= 0) return RES_NAK;
        --repeat;
        Count(TLineCount::NakSent);
        const TWriteResult w = SendAckNak(ECR_NAK);
        start = w.begin + w.timeForSend;  // the repeat is due from the end of our NAK
        break;
      }
    }
  }
}

std::int32_t TSimpleComObject::SendBlock(ShortStr Block) {
  CheckOpen();
  if (Stopped()) return RES_TIMEOUT;
  const TFrameBuffer tx = BuildFrame(Block, SendWaitConsts[static_cast<std::size_t>(FSpIndex)].BefBeg);
  {
    std::lock_guard lk(csRW);
    FPort->PurgeInput();
  }
  int repeat = REPEAT_COUNT;
  for (;;) {
    const TWriteResult w = WriteFileCs(tx.view());
    if (!w.ok) IoFailed("Write error ", w.errNo, "! SendBlock");
    // ACK or NAK is due within the frame's transmit time + ACK_TO of this transmission.
    const Millis timeOut = Millis{w.timeForSend} + ACK_TO;
    for (;;) {
      std::uint8_t b = 0;
      const bool got = ReadOne(b, "! SendBlock");
      if (Stopped()) return RES_TIMEOUT;
      if (LaterThan(FClock.Now(), w.begin, timeOut)) {
        Count(TLineCount::TimeOut);
        return RES_TIMEOUT;
      }
      if (!got) continue;
      if (b == ECR_ACK) return RES_OK;
      if (b != ECR_NAK) continue;
      Count(TLineCount::NakReceived);
      if (repeat <= 0) return RES_NAK;
      --repeat;
      Count(TLineCount::Repeat);
      break;  // send the frame again
    }
  }
}

}  // namespace kassiro
