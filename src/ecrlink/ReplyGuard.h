// Keeps a late frame of one ECR from passing for the reply of another.
//
// Data frames carry no ECR number. When an ECR answers its take too late, the polling
// thread has already given up on it and taken another ECR, and the late frame then
// arrives as that ECR's reply: a receipt or a report would reach the clients of the
// wrong register. A take reply's field 1 is the serial number of the ECR that sent it,
// which tells whose the frame is:
//   - the taken ECR's own serial number: its reply;
//   - another serial number while the taken ECR's own is known, or, while it is not,
//     the serial number known for another ECR whose last take failed: another
//     register's frame;
//   - a serial number nobody has yet, for an ECR not heard before, right after the
//     take of another ECR not heard before failed: it may be that ECR's late frame.
//     A frame that follows it within the same take is the reply.
// Such a frame is refused before it is acknowledged: its sender, still waiting for the
// ACK, keeps what it sent for its own next take, and the take reads on for the reply of
// the ECR taken now. A register that really was moved to another logical number, or
// replaced, keeps answering there alone with its serial number; after MOVED_AFTER - 1
// takes refused in a row its frame is believed.
//
// Serial numbers are known from the replies accepted so far and, from the start, from
// the settings record, which keeps each ECR's last one across restarts.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "util/ShortStr.h"

namespace kassiro {

enum class TReplyVerdict : std::uint8_t {
  Own,          // the taken ECR's reply
  Believed,     // another serial number, taken as the ECR's own after refusals in a row
  OtherEcr,     // the serial number known for another ECR (Other)
  OtherSerial,  // not the serial number known for the taken ECR
  MaybeLate,    // may be the late frame of Other, the ECR taken before, not heard before
};

struct TReplyJudgement {
  TReplyVerdict Verdict = TReplyVerdict::Own;
  std::int32_t Serial = 0;  // field 1 of the reply
  std::int32_t Other = 0;   // the ECR the frame may be of
  bool Refused() const { return Verdict != TReplyVerdict::Own && Verdict != TReplyVerdict::Believed; }
};

// The log line of a judgement other than Own on a reply to Ecr's take; Own is Ecr's
// known serial number.
std::string ReplyJudgementText(std::int32_t Ecr, const TReplyJudgement& J, std::int32_t Own);

class TReplyGuard {
 public:
  static constexpr int MAX_ECR = 99;
  static constexpr int MOVED_AFTER = 3;

  // Whose frame Reply is, a reply to Ecr's take in the application's character set;
  // AfterRefused: the take has already refused a frame.
  TReplyJudgement Judge(std::int32_t Ecr, const ShortStr& Reply, bool AfterRefused) const;
  // The outcome of Ecr's take (RES_DIFF: only refused frames came); Reply is the reply
  // accepted with RES_OK.
  void Taken(std::int32_t Ecr, std::int32_t Result, const ShortStr& Reply);
  // The ECR's serial number as the settings record holds it (0: not known).
  void Know(std::int32_t Ecr, std::int32_t Serial);
  std::int32_t SerialOf(std::int32_t Ecr) const;
  // Forgets the order of takes (a new line, a list that became empty).
  void Restart() { FPrevEcr = 0; }

 private:
  static bool Valid(std::int32_t Ecr) { return Ecr >= 1 && Ecr <= MAX_ECR; }
  std::int32_t OwnerOf(std::int32_t Ecr, std::int32_t Serial) const;
  bool Believes(std::int32_t Ecr) const;
  bool FailedLast(std::int32_t Ecr) const;

  std::array<std::int32_t, MAX_ECR + 1> FSerial{};  // field 1 of the last accepted reply
  std::array<int, MAX_ECR + 1> FRefusals{};         // takes refused in a row
  std::array<bool, MAX_ECR + 1> FFailed{};          // the ECR's last take failed
  std::int32_t FPrevEcr = 0;                        // the ECR taken before
  bool FPrevFailed = false;                         // and its take failed
};

}  // namespace kassiro
