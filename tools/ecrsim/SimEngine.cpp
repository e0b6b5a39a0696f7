#include "SimEngine.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "ecrlink/FrameCodec.h"
#include "ecrlink/ProtConst.h"

namespace kassiro::ecrsim {
namespace {

std::string Tag(int ecr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "-> %02d ", ecr);
  return buf;
}

}  // namespace

TSimEngine::TSimEngine(TSimScript script, TByteSink& out) : FOut(out) {
  for (auto& e : script.Ecrs) {
    ValidateEcr(e);
    TEcrState s;
    s.BlockNo = e.FirstBlockNo;
    s.Script = std::move(e);
    FEcrs.push_back(std::move(s));
  }
}

void TSimEngine::SetLog(TLogFn log, bool verbose) {
  FLog = std::move(log);
  FVerbose = verbose;
}

void TSimEngine::Log(const std::string& line) const {
  if (FLog) FLog(line);
}

TSimEngine::TEcrState* TSimEngine::Find(int ecr) {
  for (auto& s : FEcrs)
    if (s.Script.Ecr == ecr) return &s;
  return nullptr;
}

const TSimEngine::TEcrState* TSimEngine::Find(int ecr) const {
  return const_cast<TSimEngine*>(this)->Find(ecr);
}

bool TSimEngine::AddFault(int ecr, TFaultKind kind, int count) {
  TEcrState* s = Find(ecr);
  if (!s) return false;
  ecrsim::AddFault(s->Script.Faults, kind, count);
  return true;
}

void TSimEngine::SetRandomFaults(double percent, std::uint32_t seed) {
  FFaultChance = std::clamp(percent, 0.0, 100.0) / 100.0;
  FRandom.seed(seed);
}

const TEcrCounts* TSimEngine::Counts(int ecr) const {
  const TEcrState* s = Find(ecr);
  return s ? &s->Counts : nullptr;
}

namespace {

void AddCounts(TEcrCounts& sum, const TEcrCounts& c) {
  sum.Takes += c.Takes;
  sum.Silent += c.Silent;
  sum.Inline += c.Inline;
  sum.OnlineSent += c.OnlineSent;
  sum.OnlineTaken += c.OnlineTaken;
  sum.Commands += c.Commands;
  sum.Answers += c.Answers;
  sum.Repeats += c.Repeats;
  sum.NaksSent += c.NaksSent;
  sum.BadCrc += c.BadCrc;
  sum.Noise += c.Noise;
  sum.NakFaults += c.NakFaults;
  sum.RandomFaults += c.RandomFaults;
  sum.StrayAnswers += c.StrayAnswers;
  sum.Late += c.Late;
  sum.ForOthers += c.ForOthers;
  sum.Streamed += c.Streamed;
}

std::string CountsText(const TEcrCounts& c) {
  char buf[400];
  std::snprintf(buf, sizeof buf,
                "takes=%ld silent=%ld inline=%ld online_sent=%ld online_taken=%ld commands=%ld "
                "answers=%ld repeats=%ld naks_sent=%ld badcrc=%ld noise=%ld nak_faults=%ld "
                "random_faults=%ld stray_answers=%ld late=%ld for_others=%ld streamed=%ld",
                c.Takes, c.Silent, c.Inline, c.OnlineSent, c.OnlineTaken, c.Commands, c.Answers,
                c.Repeats, c.NaksSent, c.BadCrc, c.Noise, c.NakFaults, c.RandomFaults, c.StrayAnswers, c.Late,
                c.ForOthers, c.Streamed);
  return buf;
}

}  // namespace

std::string TSimEngine::FormatCounts() const {
  std::string out;
  TEcrCounts total;
  for (const auto& s : FEcrs) {
    out += "ecr " + std::to_string(s.Script.Ecr) + " " + CountsText(s.Counts) + "\n";
    AddCounts(total, s.Counts);
  }
  return out + "total " + CountsText(total) + "\n";
}

bool TSimEngine::AddOnline(int ecr, TOnlineEntry entry) {
  TEcrState* s = Find(ecr);
  if (!s) return false;
  TEcrScript checked = s->Script;
  checked.Online.push_back(std::move(entry));
  ValidateEcr(checked);
  s->Script = std::move(checked);
  return true;
}

int TSimEngine::BlockNo(int ecr) const {
  const TEcrState* s = Find(ecr);
  return s ? s->BlockNo : -1;
}

int TSimEngine::OnlineDone(int ecr) const {
  const TEcrState* s = Find(ecr);
  return s ? s->Done : -1;
}

void TSimEngine::Receive(std::uint8_t b, Millis now) {
  if (FHaveByte && FParser.Busy() && now - FLastByte > static_cast<Millis>(BYTE_TO)) {
    Log("gap: half-received sequence dropped");
    FParser.Reset();
  }
  FLastByte = now;
  FHaveByte = true;
  if (const auto e = FParser.consume(b)) OnEvent(*e);
}

void TSimEngine::Receive(std::span<const std::uint8_t> bytes, Millis now) {
  std::vector<TLineEvent> events;
  for (const auto b : bytes) {
    if (FHaveByte && FParser.Busy() && now - FLastByte > static_cast<Millis>(BYTE_TO)) {
      Log("gap: half-received sequence dropped");
      FParser.Reset();
    }
    FLastByte = now;
    FHaveByte = true;
    if (const auto e = FParser.consume(b)) events.push_back(*e);
  }
  std::size_t lastTake = events.size();
  for (std::size_t i = 0; i < events.size(); ++i)
    if (events[i].Kind == TLineEventKind::Take) lastTake = i;
  const long writesBefore = FWrites;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const TLineEvent& e = events[i];
    if (Stale(e, lastTake < events.size() && i < lastTake, FWrites != writesBefore)) {
      if (FObserver) FObserver(e);
      Log(Describe(e) + " (stale, ignored)");
      if (e.Kind == TLineEventKind::Take) FlushLate();  // it still ends a slow ECR's window
      continue;
    }
    OnEvent(e);
  }
}

// An older take with a newer one behind it, or an ACK, NAK or frame that was waiting
// before the ECR wrote its last answer: the computer cannot have meant it for that answer.
bool TSimEngine::Stale(const TLineEvent& e, bool newerTakeWaits, bool wroteSince) {
  switch (e.Kind) {
    case TLineEventKind::Take: return newerTakeWaits;
    case TLineEventKind::Ack:
    case TLineEventKind::Nak:
    case TLineEventKind::Frame: return wroteSince;
    default: return false;
  }
}

void TSimEngine::FlushLate() {
  if (FLateFrame.empty()) return;
  FOut.Send(FLateFrame);
  FLateFrame.clear();
}

void TSimEngine::OnEvent(const TLineEvent& e) {
  if (FObserver) FObserver(e);
  if (e.Kind != TLineEventKind::Filler || FVerbose) Log(Describe(e));
  switch (e.Kind) {
    case TLineEventKind::Take:
      FTakenSinceRelease = true;
      OnTake(e.Ecr);
      break;
    case TLineEventKind::Release:
      FPhase = TPhase::Idle;
      FCur = nullptr;
      if (std::exchange(FTakenSinceRelease, false)) StreamFrames();
      break;
    case TLineEventKind::Ack: OnAck(); break;
    case TLineEventKind::Nak: OnNak(); break;
    case TLineEventKind::Frame: OnFrame(e); break;
    case TLineEventKind::Filler:
    case TLineEventKind::Noise: break;
  }
}

bool TSimEngine::OnlineDue() const {
  return FCur->Next < FCur->Script.Online.size();
}

void TSimEngine::OnTake(int ecr) {
  FPhase = TPhase::Idle;
  FlushLate();  // a slow ECR's answer to the take before this one
  AnswerForOthers(ecr);
  FCur = Find(ecr);
  if (!FCur) return;
  ++FCur->Counts.Takes;
  DrawFault();
  TFaults& f = FCur->Script.Faults;
  if (f.Silent != 0) {
    if (f.Silent > 0) --f.Silent;
    ++FCur->Counts.Silent;
    Log(Tag(ecr) + "(silent)");
    FCur = nullptr;
    return;
  }
  FCurOnline = OnlineDue();
  FCurWaitsAnswer = FCurOnline && FCur->Script.Online[FCur->Next].WaitAnswer;
  const std::string& tmpl =
      FCurOnline ? FCur->Script.Online[FCur->Next].Text : FCur->Script.Inline;
  ++(FCurOnline ? FCur->Counts.OnlineSent : FCur->Counts.Inline);
  const std::string answer = Expand(tmpl, FCur->Script, FCur->BlockNo, std::nullopt, FCur->Seq);
  if (HoldBackAnswer()) {
    const TFrameBuffer frame = BuildFrame(answer, 0);
    FLateFrame.assign(frame.view().begin(), frame.view().end());
    Log(Tag(ecr) + "frame " + Printable(answer) + " held back until the next take");
    FCur = nullptr;
    return;
  }
  SendFrame(answer);
  FPhase = TPhase::AwaitPollAck;
}

// The late fault: the answer goes out only after the computer has given up on this ECR
// and taken the next, as a slow register's would. Nothing this ECR sent counts as taken.
bool TSimEngine::HoldBackAnswer() {
  TFaults& f = FCur->Script.Faults;
  if (f.Late <= 0) return false;
  --f.Late;
  ++FCur->Counts.Late;
  return true;
}

// ECRs with the answerall fault answer a take of another number first, as the quicker
// of two devices on one bus would: their own answer, sent once, whatever comes back.
void TSimEngine::AnswerForOthers(int ecr) {
  for (TEcrState& s : FEcrs) {
    int& left = s.Script.Faults.AnswerAll;
    if (left == 0 || s.Script.Ecr == ecr) continue;
    if (left > 0) --left;
    ++s.Counts.ForOthers;
    char note[32];
    std::snprintf(note, sizeof note, " for ECR %02d", ecr);
    SendUnasked(s, Expand(s.Script.Inline, s.Script, s.BlockNo), note);
  }
}

// ECRs with the stream fault send, after a release, a frame that no take asked for,
// each with a serial number of its own: the one before plus one, from their own.
void TSimEngine::StreamFrames() {
  for (TEcrState& s : FEcrs) {
    int& left = s.Script.Faults.Stream;
    if (left == 0) continue;
    if (left > 0) --left;
    ++s.Counts.Streamed;
    if (s.StreamSerial == 0) s.StreamSerial = std::stoll(s.Script.Serial);
    ++s.StreamSerial;
    SendUnasked(s, std::to_string(s.StreamSerial) + ";", " outside any take");
  }
}

// A frame of an ECR other than the taken one: no repeats, and nothing that comes back
// is taken as an answer to it.
void TSimEngine::SendUnasked(TEcrState& s, const std::string& payload, const std::string& note) {
  const TFrameBuffer frame = BuildFrame(payload.substr(0, MAX_PAYLOAD), 0);
  Log(Tag(s.Script.Ecr) + "frame " + Printable(payload) + note);
  FOut.Send(frame.view());
}

// A take is one exchange: it may bring one fault of a random kind for the taken ECR.
void TSimEngine::DrawFault() {
  if (FFaultChance <= 0) return;
  if (std::uniform_real_distribution<double>(0.0, 1.0)(FRandom) >= FFaultChance) return;
  static constexpr TFaultKind Kinds[] = {TFaultKind::BadCrc, TFaultKind::Nak, TFaultKind::Silent,
                                         TFaultKind::Noise, TFaultKind::Late};
  const auto kind = Kinds[std::uniform_int_distribution<int>(0, std::size(Kinds) - 1)(FRandom)];
  ecrsim::AddFault(FCur->Script.Faults, kind, 1);
  ++FCur->Counts.RandomFaults;
}

void TSimEngine::OnAck() {
  if (FPhase == TPhase::AwaitPollAck) {
    FPhase = FCurOnline ? TPhase::OnlineTaken : TPhase::InlineTaken;
    if (FCurOnline && !FCur->Script.Online[FCur->Next].WaitAnswer) CompleteOnline();
  } else if (FPhase == TPhase::AwaitReplyAck) {
    FPhase = TPhase::Idle;
  }
}

void TSimEngine::OnNak() {
  if (FPhase != TPhase::AwaitPollAck && FPhase != TPhase::AwaitReplyAck) return;
  if (FRepeatsLeft <= 0) {
    Log(Tag(FCur->Script.Ecr) + "gives up after " + std::to_string(REPEAT_COUNT) + " repeats");
    FPhase = TPhase::Idle;
    return;
  }
  --FRepeatsLeft;
  ++FCur->Counts.Repeats;
  TransmitFrame();
}

void TSimEngine::OnFrame(const TLineEvent& e) {
  if (FPhase == TPhase::InlineTaken) {
    if (!AcceptFrame(e)) return;
    ++FCur->Counts.Commands;
    OnCommand(e.Payload);
  } else if (FPhase == TPhase::OnlineTaken) {
    if (!AcceptFrame(e)) return;
    ++FCur->Counts.Answers;
    if (FCurWaitsAnswer) {
      CompleteOnline();
    } else {  // the block was taken with its ACK already: the frame answers nothing
      ++FCur->Counts.StrayAnswers;
      Log(Tag(FCur->Script.Ecr) + "answer to a block that wanted none");
    }
    FPhase = TPhase::Idle;
  }
}

// Answers a frame of the computer with 06, or 15 for a bad CRC or a NAK fault.
bool TSimEngine::AcceptFrame(const TLineEvent& e) {
  TFaults& f = FCur->Script.Faults;
  const bool nakFault = e.CrcOk && f.Nak > 0;
  if (nakFault) {
    --f.Nak;
    ++FCur->Counts.NakFaults;
  }
  const bool ok = e.CrcOk && !nakFault;
  if (!ok) ++FCur->Counts.NaksSent;
  SendControl(ok ? ECR_ACK : ECR_NAK);
  return ok;
}

void TSimEngine::OnCommand(const ShortStr& cmd) {
  const TEcrScript& s = FCur->Script;
  std::string_view text = cmd.view();
  const std::string* reply = &s.DefaultReply;
  if (!text.empty()) {
    if (const auto it = s.Replies.find(text.front()); it != s.Replies.end()) reply = &it->second;
    text.remove_prefix(1);
  }
  SendFrame(Expand(*reply, s, FCur->BlockNo, text));
  FPhase = TPhase::AwaitReplyAck;
}

// The due on-line block was taken: the next one gets the next block number, unless
// this one is to be sent again under the same number.
void TSimEngine::CompleteOnline() {
  TEcrState& s = *FCur;
  ++s.Done;
  ++s.Counts.OnlineTaken;
  if (FJournal) FJournal(FLastByte, s.Script.Ecr, FFrame);
  if (++s.SentTimes < s.Script.Online[s.Next].Times) return;
  s.SentTimes = 0;
  ++s.Seq;
  s.BlockNo = (s.BlockNo + 1) % 10;
  if (++s.Next == s.Script.Online.size() && s.Script.Loop) s.Next = 0;
}

void TSimEngine::SendFrame(const std::string& payload) {
  FFrame = payload.substr(0, MAX_PAYLOAD);
  FRepeatsLeft = REPEAT_COUNT;
  TransmitFrame();
}

// 0A payload 0D C1 C2, no fill; faults may add noise ahead or spoil the CRC.
void TSimEngine::TransmitFrame() {
  TFaults& f = FCur->Script.Faults;
  std::vector<std::uint8_t> bytes;
  std::string note;
  if (f.Noise > 0) {
    --f.Noise;
    ++FCur->Counts.Noise;
    bytes.assign(std::begin(NoiseBytes), std::end(NoiseBytes));
    note += " after noise";
  }
  const TFrameBuffer frame = BuildFrame(FFrame, 0);
  bytes.insert(bytes.end(), frame.view().begin(), frame.view().end());
  if (f.BadCrc > 0) {
    --f.BadCrc;
    ++FCur->Counts.BadCrc;
    bytes.back() ^= 0xFF;  // the low CRC byte
    note += " bad crc";
  }
  Log(Tag(FCur->Script.Ecr) + "frame " + Printable(FFrame) + note);
  ++FWrites;
  FOut.Send(bytes);
}

void TSimEngine::SendControl(std::uint8_t b) {
  Log(Tag(FCur->Script.Ecr) + (b == ECR_ACK ? "ACK" : "NAK"));
  const std::uint8_t one[] = {b};
  ++FWrites;
  FOut.Send(one);
}

}  // namespace kassiro::ecrsim
