// Frames of the ECR line, free of I/O so the server and the ECR simulator share them:
// the builder of a data frame, the control sequences, and the receiver state machine
// that is fed whatever bytes arrived, one at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "util/ShortStr.h"

namespace kassiro {

inline constexpr std::size_t MAX_FILL = 15;      // the largest BefBeg of the speed table
inline constexpr std::size_t MAX_PAYLOAD = 254;  // payload + 0D fill one 255-byte block
inline constexpr std::size_t MAX_FRAME = MAX_FILL + 1 + MAX_PAYLOAD + 1 + 2;

inline constexpr std::array<std::uint8_t, 6> RELEASE_REQUEST = {0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x13};
inline constexpr std::array<std::uint8_t, 2> IDLE_FILLER = {0xFE, 0xFE};

// One whole frame as it goes on the line; never allocates.
struct TFrameBuffer {
  std::array<std::uint8_t, MAX_FRAME> bytes{};
  std::size_t size = 0;
  std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};

// [fillCount x FF] 0A payload 0D C1 C2, the CRC (high byte first) covering payload and 0D.
// A payload longer than MAX_PAYLOAD is cut to it; fillCount is capped at MAX_FILL.
// An ECR's frame is the same with no fill.
TFrameBuffer BuildFrame(std::string_view payload, std::size_t fillCount);

// FF FF 11 11 and the ECR number formatted "%.2d" (ECR 7: 30 37).
ShortStr MakeTakeRequest(std::int32_t ecr);

// Receive state of a frame.
enum class TState : std::uint8_t { sWaitBeg, sWaitEnd, sWaitCRC1, sWaitCRC2 };

enum class TRxEvent : std::uint8_t {
  rxIgnored,    // byte outside a frame (fill, filler, stray)
  rxProgress,   // byte taken into the frame: its 0A, payload, 0D or first CRC byte
  rxFrameGood,  // frame complete and its CRC checks: Payload() holds it
  rxFrameBad,   // frame complete with a bad CRC
};

// Skips everything before 0A; a second 0A before 0D starts the frame again. After a
// complete frame (good or bad) it waits for the next 0A.
class TFrameReceiver {
 public:
  TRxEvent Consume(std::uint8_t b);
  void Reset() { FState = TState::sWaitBeg; }
  TState State() const { return FState; }
  // The payload of the frame being received or last received; at most 255 bytes
  // are kept, the CRC still covers all of them.
  const ShortStr& Payload() const { return FBlock; }

 private:
  void Restart();

  TState FState = TState::sWaitBeg;
  ShortStr FBlock;
  std::uint16_t FCalcCRC = 0;
};

}  // namespace kassiro
