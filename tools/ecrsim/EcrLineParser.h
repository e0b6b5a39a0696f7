// The ECR's ear on the line: turns the bytes the computer sends into events. It keeps
// no time and does no I/O; whoever feeds it decides when a half-received sequence is
// stale (Reset after a gap).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ecrlink/FrameCodec.h"
#include "util/ShortStr.h"

namespace kassiro::ecrsim {

enum class TLineEventKind {
  Take,     // FF FF 11 11 d1 d2: take request for ECR d1d2
  Release,  // FF FF FF FF 13 13
  Ack,      // FF 06
  Nak,      // FF 15
  Frame,    // [FF fill] 0A payload 0D C1 C2
  Filler,   // one idle filler byte FE
  Noise,    // a byte that fits no sequence
};

struct TLineEvent {
  TLineEventKind Kind = TLineEventKind::Noise;
  int Ecr = 0;            // Take: the requested number 0..99
  ShortStr Payload;       // Frame: the bytes between 0A and 0D
  bool CrcOk = false;     // Frame: the CRC bytes check
  std::uint8_t Byte = 0;  // Noise: the stray byte
};

// The log text of an event: "take 03", "release", "ACK", "NAK", "frame R12; crc ok",
// "filler", "noise 3F".
std::string Describe(const TLineEvent& e);
// Printable bytes as they are, the rest as \xHH.
std::string Printable(std::string_view bytes);

class TEcrLineParser {
 public:
  // Feeds one byte; returns the event it completes, if any. A byte that breaks a
  // sequence in the middle is looked at again as the start of a new one.
  std::optional<TLineEvent> consume(std::uint8_t b);
  // True while a sequence is half received.
  bool Busy() const { return FState != TState::Idle; }
  // Drops a half-received sequence.
  void Reset();

 private:
  enum class TState { Idle, AfterFF, Take2, TakeD1, TakeD2, Release2, InFrame };

  std::optional<TLineEvent> StartSequence(std::uint8_t b);
  std::optional<TLineEvent> AfterFF(std::uint8_t b);
  std::optional<TLineEvent> InFrame(std::uint8_t b);
  std::optional<TLineEvent> Restart(std::uint8_t b);
  std::optional<TLineEvent> BeginFrame();

  TState FState = TState::Idle;
  int FTakeHigh = 0;
  TFrameReceiver FFrame;
};

}  // namespace kassiro::ecrsim
