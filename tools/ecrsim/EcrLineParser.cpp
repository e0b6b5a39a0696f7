#include "EcrLineParser.h"

#include <cstdio>

#include "ecrlink/ProtConst.h"

namespace kassiro::ecrsim {
namespace {

bool IsDigit(std::uint8_t b) { return b >= '0' && b <= '9'; }

TLineEvent Simple(TLineEventKind kind) {
  TLineEvent e;
  e.Kind = kind;
  return e;
}

TLineEvent NoiseEvent(std::uint8_t b) {
  TLineEvent e;
  e.Kind = TLineEventKind::Noise;
  e.Byte = b;
  return e;
}

std::string Hex(std::uint8_t b) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", b);
  return buf;
}

}  // namespace

std::string Printable(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += c;
    } else {
      out += "\\x" + Hex(b);
    }
  }
  return out;
}

std::string Describe(const TLineEvent& e) {
  switch (e.Kind) {
    case TLineEventKind::Take: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "take %02d", e.Ecr);
      return buf;
    }
    case TLineEventKind::Release: return "release";
    case TLineEventKind::Ack: return "ACK";
    case TLineEventKind::Nak: return "NAK";
    case TLineEventKind::Frame:
      return "frame " + Printable(e.Payload.view()) + (e.CrcOk ? " crc ok" : " crc bad");
    case TLineEventKind::Filler: return "filler";
    case TLineEventKind::Noise: return "noise " + Hex(e.Byte);
  }
  return "?";
}

void TEcrLineParser::Reset() {
  FState = TState::Idle;
  FFrame.Reset();
}

std::optional<TLineEvent> TEcrLineParser::BeginFrame() {
  FFrame.Reset();
  FFrame.Consume(ECR_BEG);
  FState = TState::InFrame;
  return std::nullopt;
}

std::optional<TLineEvent> TEcrLineParser::consume(std::uint8_t b) {
  switch (FState) {
    case TState::Idle: return StartSequence(b);
    case TState::AfterFF: return AfterFF(b);
    case TState::Take2:
      if (b != ECR_TAKE) return Restart(b);
      FState = TState::TakeD1;
      return std::nullopt;
    case TState::TakeD1:
      if (!IsDigit(b)) return Restart(b);
      FTakeHigh = b - '0';
      FState = TState::TakeD2;
      return std::nullopt;
    case TState::TakeD2: {
      if (!IsDigit(b)) return Restart(b);
      FState = TState::Idle;
      TLineEvent e = Simple(TLineEventKind::Take);
      e.Ecr = FTakeHigh * 10 + (b - '0');
      return e;
    }
    case TState::Release2:
      if (b != ECR_REST) return Restart(b);
      FState = TState::Idle;
      return Simple(TLineEventKind::Release);
    case TState::InFrame: return InFrame(b);
  }
  return std::nullopt;
}

std::optional<TLineEvent> TEcrLineParser::StartSequence(std::uint8_t b) {
  switch (b) {
    case ECR_FF: FState = TState::AfterFF; return std::nullopt;
    case ECR_FE: return Simple(TLineEventKind::Filler);
    case ECR_BEG: return BeginFrame();
    default: return NoiseEvent(b);
  }
}

// One or more FF seen: a control sequence or the fill ahead of a frame follows.
std::optional<TLineEvent> TEcrLineParser::AfterFF(std::uint8_t b) {
  switch (b) {
    case ECR_FF: return std::nullopt;
    case ECR_ACK: FState = TState::Idle; return Simple(TLineEventKind::Ack);
    case ECR_NAK: FState = TState::Idle; return Simple(TLineEventKind::Nak);
    case ECR_TAKE: FState = TState::Take2; return std::nullopt;
    case ECR_REST: FState = TState::Release2; return std::nullopt;
    default: return Restart(b);
  }
}

// The frame itself is read by the same receiver the computer uses.
std::optional<TLineEvent> TEcrLineParser::InFrame(std::uint8_t b) {
  const TRxEvent rx = FFrame.Consume(b);
  if (rx != TRxEvent::rxFrameGood && rx != TRxEvent::rxFrameBad) return std::nullopt;
  FState = TState::Idle;
  TLineEvent e = Simple(TLineEventKind::Frame);
  e.Payload = FFrame.Payload();
  e.CrcOk = rx == TRxEvent::rxFrameGood;
  return e;
}

// A sequence broke off: forget it and read the byte as the start of a new one.
std::optional<TLineEvent> TEcrLineParser::Restart(std::uint8_t b) {
  Reset();
  return StartSequence(b);
}

}  // namespace kassiro::ecrsim
