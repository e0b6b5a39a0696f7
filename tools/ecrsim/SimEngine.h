// The ECRs' side of the line: several simulated ECRs that share one serial line and
// answer the computer's takes, frames and acknowledgements as their scripts say. The
// engine is fed the received bytes and writes through a byte sink; it does no I/O of
// its own and keeps no clock beyond the times it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "EcrLineParser.h"
#include "SimScript.h"
#include "ecrlink/Clock.h"

namespace kassiro::ecrsim {

class TByteSink {
 public:
  virtual ~TByteSink() = default;
  virtual void Send(std::span<const std::uint8_t> bytes) = 0;
};

// Bytes every ECR frame with the noise fault is preceded by; none of them is 0A.
inline constexpr std::uint8_t NoiseBytes[] = {0x55, 0x00, 0xAA, 0x0D, 0xFE, 0xFF, 0x13, 0x11};

// What one simulated ECR did so far.
struct TEcrCounts {
  long Takes = 0;        // takes for its number, answered or not
  long Silent = 0;       // of those, left unanswered (the silent fault)
  long Inline = 0;       // in-line answers sent
  long OnlineSent = 0;   // on-line blocks sent (a block sent again counts again)
  long OnlineTaken = 0;  // on-line blocks the computer took
  long Commands = 0;     // command frames accepted and replied to
  long Answers = 0;      // answer frames accepted
  long Repeats = 0;      // frames sent again after a NAK
  long NaksSent = 0;     // frames of the computer refused (bad CRC or the nak fault)
  long BadCrc = 0;       // frames sent with a spoilt CRC
  long Noise = 0;        // frames sent after noise bytes
  long NakFaults = 0;    // good frames of the computer refused on purpose
  long RandomFaults = 0; // faults drawn at random (--fault-rate)
  long StrayAnswers = 0; // answer frames after a block that waited for none
  long Late = 0;         // answers to a take sent only after the computer's next take
  long ForOthers = 0;    // answers to takes of other numbers (the answerall fault)
  long Streamed = 0;     // frames sent outside any take (the stream fault)
};

class TSimEngine {
 public:
  using TLogFn = std::function<void(std::string_view line)>;
  using TEventFn = std::function<void(const TLineEvent& e)>;
  // An on-line block the computer took: when (the time of the byte that completed it),
  // by which ECR, and its text.
  using TJournalFn = std::function<void(Millis when, int ecr, std::string_view block)>;

  // Throws TScriptError when an ECR's script is unusable.
  TSimEngine(TSimScript script, TByteSink& out);

  // Log lines: every received event (filler only when verbose) and everything sent.
  void SetLog(TLogFn log, bool verbose = false);
  // Called with every received event, before the engine acts on it.
  void SetObserver(TEventFn fn) { FObserver = std::move(fn); }
  // Called with every on-line block taken.
  void SetJournal(TJournalFn fn) { FJournal = std::move(fn); }
  // Every take of a simulated ECR draws, with the chance percent / 100, one fault of a
  // kind chosen at random (badcrc, nak, silent, noise or late) for that ECR. Same seed, same
  // bytes in: same faults.
  void SetRandomFaults(double percent, std::uint32_t seed);

  // One byte from the line, received at now (ms). A sequence left half received for
  // more than BYTE_TO is dropped before the byte is looked at.
  void Receive(std::uint8_t b, Millis now);
  // Bytes that were all waiting on the line at once, received at now (ms). A starved
  // reader finds a backlog a real ECR never sees: of several takes only the newest is
  // answered (the computer gave up on the older ones), and an ACK, NAK or frame that was
  // already waiting when the ECR wrote an answer is not taken as a reply to that answer.
  void Receive(std::span<const std::uint8_t> bytes, Millis now);

  // More faults for an ECR while running; false if the ECR is not simulated.
  bool AddFault(int ecr, TFaultKind kind, int count);
  // One more on-line block at the end of an ECR's list while running; false if the
  // ECR is not simulated. Throws TScriptError for a block the script would refuse.
  bool AddOnline(int ecr, TOnlineEntry entry);
  // The block number the ECR's next on-line block carries; -1 if not simulated.
  int BlockNo(int ecr) const;
  // How many of the ECR's on-line blocks are done; -1 if not simulated.
  int OnlineDone(int ecr) const;
  // What the ECR did so far; nullptr if not simulated.
  const TEcrCounts* Counts(int ecr) const;
  // One line per ECR, "ecr 3 takes=12 silent=0 ...", then "total takes=...".
  std::string FormatCounts() const;

 private:
  struct TEcrState {
    TEcrScript Script;
    int BlockNo = 0;
    std::size_t Next = 0;  // index of the on-line entry due
    int SentTimes = 0;     // times the due entry was already taken
    int Done = 0;          // on-line blocks taken so far
    long Seq = 1;          // {seq} of the due on-line block
    TEcrCounts Counts;
    std::int64_t StreamSerial = 0;  // serial number of the last frame streamed; 0: its own
  };
  enum class TPhase {
    Idle,           // not taken, or released
    AwaitPollAck,   // sent the answer to a take, waiting for FF 06 / FF 15
    InlineTaken,    // short answer taken; a command frame may follow
    AwaitReplyAck,  // sent the reply to a command, waiting for FF 06 / FF 15
    OnlineTaken,    // on-line block taken; an answer frame may follow
  };

  void OnEvent(const TLineEvent& e);
  static bool Stale(const TLineEvent& e, bool newerTakeWaits, bool wroteSince);
  void FlushLate();
  void AnswerForOthers(int ecr);
  void StreamFrames();
  void SendUnasked(TEcrState& s, const std::string& payload, const std::string& note);
  void DrawFault();
  void OnTake(int ecr);
  void OnAck();
  void OnNak();
  void OnFrame(const TLineEvent& e);
  void OnCommand(const ShortStr& cmd);
  bool AcceptFrame(const TLineEvent& e);
  void CompleteOnline();
  bool OnlineDue() const;
  void SendFrame(const std::string& payload);
  void TransmitFrame();
  void SendControl(std::uint8_t b);
  bool HoldBackAnswer();
  void Log(const std::string& line) const;
  TEcrState* Find(int ecr);
  const TEcrState* Find(int ecr) const;

  TByteSink& FOut;
  TLogFn FLog;
  bool FVerbose = false;
  TEventFn FObserver;
  TJournalFn FJournal;
  double FFaultChance = 0;  // 0..1 per take
  std::mt19937 FRandom;
  TEcrLineParser FParser;
  Millis FLastByte = 0;
  bool FHaveByte = false;

  std::vector<TEcrState> FEcrs;
  TEcrState* FCur = nullptr;  // the ECR taken now
  TPhase FPhase = TPhase::Idle;
  bool FCurOnline = false;    // FCur answered its take with an on-line block
  bool FCurWaitsAnswer = false;  // ... one that is taken only with the computer's answer
  std::string FFrame;         // payload of the last frame sent, for repeats
  std::vector<std::uint8_t> FLateFrame;  // an answer held back until the next take
  int FRepeatsLeft = 0;
  bool FTakenSinceRelease = false;  // a take came since the last release request
  long FWrites = 0;           // sends so far, to tell what was written after a byte came
};

}  // namespace kassiro::ecrsim
