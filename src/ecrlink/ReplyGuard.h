// Keeps a late frame of one ECR from passing for the reply of another.
//
// Data frames carry no ECR number. When an ECR answers its take too late, the polling
// thread has already given up on it and taken another ECR, and the late frame then
// arrives as that ECR's reply: a receipt or a report would reach the clients of the
// wrong register. A take reply's field 1 is the serial number of the ECR that sent it.
// Registers in the field put all sorts of numbers there (one in their poll answers and
// another in their on-line blocks, a new one after a change of their settings), so a
// frame is refused only on positive evidence that it is another register's late one:
//   - it carries the serial number known for another ECR whose take failed since the
//     taken ECR's take before, and not one of the taken ECR's own;
//   - or the taken ECR was never heard and comes right after the failed take of another
//     ECR never heard: its first frame may be that ECR's late one. A frame that follows
//     it within the same take is the reply;
//   - or it is an on-line request that is, byte for byte, the one accepted from another
//     ECR since the taken ECR's take before, with a serial number not the taken ECR's
//     own: a second copy of that request (a slow register that answered two takes at
//     once), whose ACK the taken ECR would otherwise take for its own report. Short
//     in-line replies of registers sharing a serial number are alike by nature and are
//     not judged so; and a copy is refused only as the first frame of a take, and not
//     after MOVED_AFTER - 1 takes refused in a row.
// Devices that answer for others (a faulty register, a second master on the bus, a
// device streaming frames) are told apart as far as a protocol without addresses lets:
//   - a short reply (a poll answer) with a serial number that another ECR was answered
//     with in the same polling round is refused when the taken ECR has a number of its
//     own besides: its own register's frame may follow within the take;
//   - while frames keep arriving outside any take, a first frame of a take whose serial
//     number no ECR is known by is refused, unless the take before it refused that same
//     number and so on for MOVED_AFTER - 1 takes in a row (a register whose number
//     changed answers with the same one each time; a streaming device never does);
//   - any other frame with a serial number that no ECR is known by is held: the take
//     reads on for a frame after it, which is judged in its place; if none comes, the
//     held frame is the reply. So a device that answers first never passes for a
//     register that answers after it, and a register whose number changed loses one
//     take's window once.
// Every other frame is the taken ECR's reply, and its serial number is stored.
// Such a frame is refused before it is acknowledged: its sender, still waiting for the
// ACK, keeps what it sent for its own next take, and the take reads on for the reply of
// the ECR taken now. A register that really was moved to another logical number keeps
// answering there alone with its serial number; after MOVED_AFTER - 1 takes refused in
// a row its frame is believed, unless another ECR answered with that serial number in
// the same polling round (then it is a device answering for several numbers).
//
// Serial numbers are known from the replies accepted so far and, from the start, from
// the settings record, which keeps each ECR's last one across restarts.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/KassiroConstants.h"
#include "util/ShortStr.h"

namespace kassiro {

enum class TReplyVerdict : std::uint8_t {
  Own,        // the taken ECR's reply
  Believed,   // another ECR's serial number, taken as the ECR's own after refusals in a row
  OtherEcr,   // the serial number known for another ECR (Other) whose take failed
  MaybeLate,  // may be the late frame of Other, the ECR taken before, not heard before
  Copy,       // the same frame as the reply accepted from Other in this round
  Shared,     // a poll answer with the serial number that Other (and maybe more) was answered with in this round
  Stray,      // a serial number no ECR is known by, while frames arrive outside any take
  Unsure,     // a serial number no ECR is known by: held while the take reads on
};

struct TReplyJudgement {
  TReplyVerdict Verdict = TReplyVerdict::Own;
  std::int32_t Serial = 0;  // field 1 of the reply
  std::int32_t Other = 0;   // the ECR the frame may be of
  bool Refused() const {
    return Verdict != TReplyVerdict::Own && Verdict != TReplyVerdict::Believed && Verdict != TReplyVerdict::Unsure;
  }
};

// The log line of a judgement other than Own on a reply to Ecr's take.
std::string ReplyJudgementText(std::int32_t Ecr, const TReplyJudgement& J);

class TReplyGuard {
 public:
  static constexpr int MOVED_AFTER = 3;

  // Whose frame Reply is, a reply to Ecr's take in the application's character set;
  // AfterRefused: the frame is not the take's first (one was refused or held before it).
  TReplyJudgement Judge(std::int32_t Ecr, const ShortStr& Reply, bool AfterRefused) const;
  // A frame judged J came in Ecr's take, whatever became of it.
  void Offered(std::int32_t Ecr, const TReplyJudgement& J);
  // The other ECRs that were offered a frame with Serial since Ecr's take before (in this
  // round, on this line), ascending.
  std::vector<int> SharedWith(std::int32_t Ecr, std::int32_t Serial) const;
  // Whether frames arrive outside any take now (a device streaming frames on the line).
  void FramesOutsideTakes(bool Arrive) { FOutside = Arrive; }
  // The outcome of Ecr's take (RES_DIFF: only refused frames came); Reply is the reply
  // accepted with RES_OK. Returns the other ECRs that answered with the reply's serial
  // number in the same polling round (the round before this take), ascending.
  std::vector<int> Taken(std::int32_t Ecr, std::int32_t Result, const ShortStr& Reply);
  // The ECR's serial number as the settings record holds it (0: not known).
  void Know(std::int32_t Ecr, std::int32_t Serial);
  std::int32_t SerialOf(std::int32_t Ecr) const;
  // Forgets the order of takes (a new line, a list that became empty).
  void Restart();

 private:
  struct TEcrState {
    std::int32_t Serial = 0;      // field 1 of the last accepted reply
    std::int32_t PrevSerial = 0;  // the one before, if it differed (its other number)
    bool Heard = false;           // a reply accepted, or the serial known from the record
    int Refusals = 0;             // takes refused in a row
    std::uint64_t TakenAt = 0;    // number of its last take
    std::uint64_t FailedAt = 0;   // number of its last take if that failed, else 0
    std::uint64_t AnsweredAt = 0; // number of its last take that was answered
    ShortStr LastReply;           // the reply accepted then
    std::int32_t RefusedSerial = 0;  // serial number of the last frame refused in its takes
  };
  struct TOffer {
    std::uint64_t Take;  // number of the take it came in
    std::int32_t Ecr;
    std::int32_t Serial;
  };
  static bool Valid(std::int32_t Ecr) { return Ecr >= 1 && Ecr <= MAX_ECR_COUNT; }
  const TEcrState& At(std::int32_t Ecr) const { return FEcr[static_cast<std::size_t>(Ecr)]; }
  TEcrState& At(std::int32_t Ecr) { return FEcr[static_cast<std::size_t>(Ecr)]; }
  bool IsOwn(std::int32_t Ecr, std::int32_t Serial) const;
  bool HasOtherOwn(std::int32_t Ecr, std::int32_t Serial) const;
  bool KnownForAny(std::int32_t Serial) const;
  void Offer(std::int32_t Ecr, std::int32_t Serial, std::uint64_t TakeNo);
  std::int32_t FailedOwnerOf(std::int32_t Ecr, std::int32_t Serial) const;
  std::vector<int> AnsweredInRound(std::int32_t Ecr, std::int32_t Serial) const;
  std::int32_t CopiedFrom(std::int32_t Ecr, const ShortStr& Reply) const;

  std::array<TEcrState, MAX_ECR_COUNT + 1> FEcr{};
  std::uint64_t FTakeNo = 0;       // takes so far
  std::uint64_t FRestartAt = 0;    // FTakeNo when the order of takes was last forgotten
  std::int32_t FPrevEcr = 0;       // the ECR taken before
  bool FPrevFailed = false;        // and its take failed
  bool FOutside = false;           // frames arrive outside any take
  std::deque<TOffer> FOffers;      // the frames of the last takes with their serial numbers, oldest first
};

}  // namespace kassiro
