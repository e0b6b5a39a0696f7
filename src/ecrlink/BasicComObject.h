// The abstract communication object the polling thread holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "util/ShortStr.h"

namespace kassiro {

class TLineStats;
class TLineTrace;

class TBasicCommunicationObject {
 public:
  virtual ~TBasicCommunicationObject() = default;

  const std::string& CommPortName() const { return FCommPortName; }
  void SetCommPortName(std::string name) { FCommPortName = std::move(name); }
  std::int32_t Speed() const { return FSpeed; }
  void SetSpeed(std::int32_t Value) {
    FMicroSecsPerByte = Value > 0 ? static_cast<std::uint32_t>(100000000 / Value) : 0;
    FSpeed = Value;
  }
  // Milliseconds, rounded up, that ByteCount 10-bit characters take at Speed.
  std::uint32_t GetTimeForSend(std::uint32_t ByteCount) const {
    const std::uint64_t m = std::uint64_t{FMicroSecsPerByte} * ByteCount;
    return static_cast<std::uint32_t>(m / 10000 + (m % 10000 != 0 ? 1 : 0));
  }

  virtual void OpenEcrPort() = 0;
  virtual void CloseEcrPort() = 0;
  virtual void NoiseOn() = 0;
  virtual void NoiseOff() = 0;
  // Decides whether a take reply (in the ECR's character set) is the taken ECR's own,
  // before it is acknowledged:
  //   Take: acknowledged, the reply;
  //   Refuse: left unacknowledged, so its sender keeps it for a later take, and the take
  //     reads on for its own reply; a take that saw only refused frames ends with RES_DIFF;
  //   Wait: held unacknowledged while the take reads on; a frame after it is judged in
  //     its place, and when none comes the check is asked again with Held set, Take
  //     then making the held frame the reply.
  // None: every intact frame is the reply.
  enum class TReplyAnswer { Take, Refuse, Wait };
  using TReplyCheck = std::function<TReplyAnswer(const ShortStr& Block, bool Held)>;
  void SetReplyCheck(TReplyCheck Check) { FReplyCheck = std::move(Check); }

  // Result codes RES_* of ProtConst. Block receives the reply (empty unless RES_OK).
  virtual std::int32_t TakeEcr(std::int32_t Ecr, ShortStr& Block) = 0;
  virtual void FreeEcr() = 0;
  virtual std::int32_t SendBlock(ShortStr Block) = 0;
  virtual std::int32_t GetBlock(ShortStr& Block, std::uint32_t BegTimeOut) = 0;
  // Safe from any thread: the TakeEcr, SendBlock or GetBlock under way and every later
  // one end at once with RES_TIMEOUT, so a stopping polling thread never waits out a
  // line time-out. After it the object is only closed and freed.
  virtual void Abort() {}
  // The device has gone (an adapter pulled out, the far end of a line closed): every
  // take, send and receive then fails at once with RES_TIMEOUT until the line is back.
  virtual bool LineLost() const { return false; }
  // Closes a lost device and tries once to open it again by its name; true when the
  // line works again.
  virtual bool ReopenEcrPort() { return true; }
  // Where the line's events are counted per ECR, and where its bytes are traced while a
  // trace runs; none by default. Both outlive the object and are set before the port
  // opens.
  virtual void SetLineStats(TLineStats*) {}
  virtual void SetLineTrace(TLineTrace*) {}

 protected:
  TReplyAnswer CheckReply(const ShortStr& Block, bool Held = false) const {
    return FReplyCheck ? FReplyCheck(Block, Held) : TReplyAnswer::Take;
  }

  TReplyCheck FReplyCheck;
  std::int32_t FSpeed = 0;
  std::uint32_t FMicroSecsPerByte = 0;
  std::string FCommPortName;
};

}  // namespace kassiro
