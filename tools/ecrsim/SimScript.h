// What each simulated ECR does, read from a small line-based script (docs/ecrsim.md):
//
//   ecr 3 serial 123456
//   online "{serial};{block};0;A;B;"
//   online "{serial};{block};8;4711;;12.50;" answer
//   reply R "0;"
//   fault badcrc 1
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kassiro::ecrsim {

// Faults still to come for one ECR; counts go down as they are used.
struct TFaults {
  static constexpr int Always = -1;
  int BadCrc = 0;  // frames the ECR sends with a wrong CRC
  int Nak = 0;     // frames of the computer answered with NAK
  int Silent = 0;  // takes ignored (Always: every take)
  int Noise = 0;   // frames preceded by noise bytes
  int Late = 0;    // takes answered only after the computer's next take
  // The ECR answers takes of other numbers too, before their own register does, with its
  // own answer (a faulty register, or a second master on the bus); Always: every take.
  int AnswerAll = 0;
  // Frames with ever new serial numbers, sent outside any take: one after each release
  // that follows a take (Always: without end).
  int Stream = 0;
};

enum class TFaultKind { BadCrc, Nak, Silent, Noise, Late, AnswerAll, Stream };

// "badcrc", "nak", "silent", "noise", "late", "answerall", "stream"; false for anything else.
bool ParseFaultKind(std::string_view word, TFaultKind& kind);
// Whether a kind without a count lasts for good (silent, answerall, stream) rather than once.
bool FaultLastsForGood(TFaultKind kind);
// Adds count faults of a kind (Always or a count for the lasting kinds, a count for the others).
void AddFault(TFaults& f, TFaultKind kind, int count);

struct TOnlineEntry {
  std::string Text;         // template with {serial}, {block}, {ecr}, {seq}
  bool WaitAnswer = false;  // taken only when the computer's answer frame is
  int Times = 1;            // sent this many times under one block number
};

struct TEcrScript {
  int Ecr = 0;
  std::string Serial;                     // decimal digits
  std::string Inline = "{serial};";       // the answer to a poll with no on-line block due
  std::vector<TOnlineEntry> Online;       // sent in turn, one per poll
  bool Loop = false;                      // after the last on-line block start again
  int FirstBlockNo = 0;                   // block number of the first on-line block
  std::map<char, std::string> Replies;    // in-line reply by command letter
  std::string DefaultReply = "0;";        // "reply *"
  TFaults Faults;
};

struct TSimScript {
  std::vector<TEcrScript> Ecrs;
  // The ECR with that number, or nullptr.
  TEcrScript* Find(int ecr);
  const TEcrScript* Find(int ecr) const;
};

// A script that does not make sense; what() is "NAME:LINE: message".
class TScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The default script of one ECR: serial "0047" followed by the two-digit number.
TEcrScript DefaultEcr(int ecr);
// Throws TScriptError.
TSimScript ParseSimScript(std::string_view text, std::string_view name = "script");
// Reads and parses a file; throws TScriptError (also when the file can't be read).
TSimScript LoadSimScript(const std::string& path);
// Checks the finished ECR (block lengths, placeholders); throws TScriptError without position.
void ValidateEcr(const TEcrScript& e);

// Fills the placeholders {serial}, {block}, {ecr}, {seq} (the on-line block's sequence
// number, 1 for the first) and, in replies, {text} (the command block after its letter).
// Throws TScriptError for an unknown or unclosed placeholder.
std::string Expand(std::string_view tmpl, const TEcrScript& e, int blockNo,
                   std::optional<std::string_view> text = std::nullopt, long seq = 1);

}  // namespace kassiro::ecrsim
