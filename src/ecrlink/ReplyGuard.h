// Keeps a late frame of one ECR from passing for the reply of another.
//
// Data frames carry no ECR number. When an ECR answers its take too late, the polling
// thread has already given up on it and taken another ECR, and the late frame then
// arrives as that ECR's reply: a receipt or a report would reach the clients of the
// wrong register. A take reply's field 1 is the serial number of the ECR that sent it,
// so a reply that carries the serial number known for another ECR, and not the one
// known for the ECR taken now, is that other ECR's late frame.
//
// Such a frame is refused before it is acknowledged: its sender, still waiting for the
// ACK, keeps what it sent for its own next take, and the take reads on for the reply of
// the ECR taken now. A register that really was moved to another logical number keeps
// answering there alone with its serial number; after MOVED_AFTER - 1 takes refused in
// a row, its frame is believed.
//
// Serial numbers are known from the replies accepted so far and, from the start, from
// the settings record, which keeps each ECR's last one across restarts.
#pragma once

#include <array>
#include <cstdint>

#include "util/ShortStr.h"

namespace kassiro {

class TReplyGuard {
 public:
  static constexpr int MAX_ECR = 99;
  static constexpr int MOVED_AFTER = 3;

  // The other ECR whose serial number Reply, a reply to Ecr's take in the application's
  // character set, carries while Ecr's own known one differs; 0 when it may be Ecr's.
  std::int32_t OwnerOf(std::int32_t Ecr, const ShortStr& Reply) const;
  // True once Ecr's takes were refused often enough in a row that a frame with another
  // ECR's serial number is taken as Ecr's own.
  bool Believes(std::int32_t Ecr) const;
  // The outcome of Ecr's take (RES_DIFF: only refused frames came); Reply is the reply
  // accepted with RES_OK.
  void Taken(std::int32_t Ecr, std::int32_t Result, const ShortStr& Reply);
  // The ECR's serial number as the settings record holds it (0: not known).
  void Know(std::int32_t Ecr, std::int32_t Serial);
  std::int32_t SerialOf(std::int32_t Ecr) const;

 private:
  static bool Valid(std::int32_t Ecr) { return Ecr >= 1 && Ecr <= MAX_ECR; }

  std::array<std::int32_t, MAX_ECR + 1> FSerial{};  // field 1 of the last accepted reply
  std::array<int, MAX_ECR + 1> FRefusals{};         // takes refused in a row
};

}  // namespace kassiro
