// Keeps a late frame of one ECR from passing for the reply of the next.
//
// Data frames carry no ECR number. When an ECR answers its take too late, the polling
// thread has already given up on it and taken the next ECR, and the late frame then
// arrives as that ECR's reply: a receipt or a report would reach the clients of the
// wrong register. A take reply's field 1 is the serial number of the ECR that sent it,
// so a reply that carries the serial number of the ECR whose take just failed, and not
// the serial number of the ECR taken now, is that ECR's late frame.
//
// Such a suspect reply is followed by another read: if the ECR taken now answers after
// it, its frame is the reply. If nothing follows, the take is refused (RES_DIFF). A
// register that really was moved to another logical number keeps answering alone with
// its serial number; after MOVED_AFTER refusals in a row it is believed.
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

  // True when Reply, Ecr's take reply in the application's character set, carries the
  // serial number of the ECR whose take went just before and failed.
  bool Suspect(std::int32_t Ecr, const ShortStr& Reply) const;
  // A suspect reply was not followed by another frame. True to refuse the take; false
  // once the refusals in a row show that the register itself answers so.
  bool Refuse(std::int32_t Ecr);
  // The outcome of Ecr's take; Reply is the reply accepted with RES_OK.
  void Taken(std::int32_t Ecr, std::int32_t Result, const ShortStr& Reply);
  // The ECR's serial number as the settings record holds it (0: not known).
  void Know(std::int32_t Ecr, std::int32_t Serial);
  // The ECR whose take went just before, and its serial number as last seen (0: not known).
  std::int32_t Previous() const { return FPrevEcr; }
  std::int32_t SerialOf(std::int32_t Ecr) const;
  // Forgets the order of takes (a new line, a list that became empty).
  void Restart() { FPrevEcr = 0; }

 private:
  static bool Valid(std::int32_t Ecr) { return Ecr >= 1 && Ecr <= MAX_ECR; }

  std::array<std::int32_t, MAX_ECR + 1> FSerial{};  // field 1 of the last accepted reply
  std::array<int, MAX_ECR + 1> FRefusals{};     // refusals in a row
  std::int32_t FPrevEcr = 0;
  bool FPrevFailed = false;
};

}  // namespace kassiro
