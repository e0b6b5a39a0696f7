#include "SimEngine.h"

#include <cstdio>

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

void TSimEngine::OnEvent(const TLineEvent& e) {
  if (FObserver) FObserver(e);
  if (e.Kind != TLineEventKind::Filler || FVerbose) Log(Describe(e));
  switch (e.Kind) {
    case TLineEventKind::Take: OnTake(e.Ecr); break;
    case TLineEventKind::Release:
      FPhase = TPhase::Idle;
      FCur = nullptr;
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
  FCur = Find(ecr);
  if (!FCur) return;
  TFaults& f = FCur->Script.Faults;
  if (f.Silent != 0) {
    if (f.Silent > 0) --f.Silent;
    Log(Tag(ecr) + "(silent)");
    FCur = nullptr;
    return;
  }
  FCurOnline = OnlineDue();
  const std::string& tmpl =
      FCurOnline ? FCur->Script.Online[FCur->Next].Text : FCur->Script.Inline;
  SendFrame(Expand(tmpl, FCur->Script, FCur->BlockNo));
  FPhase = TPhase::AwaitPollAck;
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
  TransmitFrame();
}

void TSimEngine::OnFrame(const TLineEvent& e) {
  if (FPhase == TPhase::InlineTaken) {
    if (AcceptFrame(e)) OnCommand(e.Payload);
  } else if (FPhase == TPhase::OnlineTaken) {
    if (!AcceptFrame(e)) return;
    if (OnlineDue() && FCur->Script.Online[FCur->Next].WaitAnswer) CompleteOnline();
    FPhase = TPhase::Idle;
  }
}

// Answers a frame of the computer with 06, or 15 for a bad CRC or a NAK fault.
bool TSimEngine::AcceptFrame(const TLineEvent& e) {
  TFaults& f = FCur->Script.Faults;
  const bool nakFault = e.CrcOk && f.Nak > 0;
  if (nakFault) --f.Nak;
  const bool ok = e.CrcOk && !nakFault;
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
  if (++s.SentTimes < s.Script.Online[s.Next].Times) return;
  s.SentTimes = 0;
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
    bytes.assign(std::begin(NoiseBytes), std::end(NoiseBytes));
    note += " after noise";
  }
  const TFrameBuffer frame = BuildFrame(FFrame, 0);
  bytes.insert(bytes.end(), frame.view().begin(), frame.view().end());
  if (f.BadCrc > 0) {
    --f.BadCrc;
    bytes.back() ^= 0xFF;  // the low CRC byte
    note += " bad crc";
  }
  Log(Tag(FCur->Script.Ecr) + "frame " + Printable(FFrame) + note);
  FOut.Send(bytes);
}

void TSimEngine::SendControl(std::uint8_t b) {
  Log(Tag(FCur->Script.Ecr) + (b == ECR_ACK ? "ACK" : "NAK"));
  const std::uint8_t one[] = {b};
  FOut.Send(one);
}

}  // namespace kassiro::ecrsim
