#include "ecrlink/PolObj.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>

#include "core/LogFile.h"

namespace kassiro {

namespace {

ShortStr Translate(const TCodeTable& Tbl, std::size_t Offset, const ShortStr& s) {
  ShortStr out = s;
  for (std::size_t i = 0; i < s.size(); ++i) out[i] = static_cast<char>(Tbl[Offset + s.byte(i)]);
  return out;
}

}  // namespace

TPolThread::TPolThread() {
  FillTranTbl(LangTable(DEFAULT_CODETABLE));
  ClearEcrList();
}

TPolThread::~TPolThread() {
  {
    const std::lock_guard lock(FHandlersMu);
    FHandlers = THandlers{};
  }
  {
    // Set under both locks so neither wait can miss it.
    const std::scoped_lock lock(FCS, FExMu);
    FTerminated = true;
  }
  FListChanged.notify_all();
  evOnlSendReq.notify_all();
  if (FThread.joinable()) {
    if (FCommObj != nullptr) FCommObj->Abort();
    FThread.join();
  }
  if (FCommObj == nullptr) return;
  FCommObj->SetReplyCheck(nullptr);  // it calls into this object
  try {
    FCommObj->CloseEcrPort();
  } catch (const std::exception& e) {
    LogAddExceptionLine("TPolThread.Destroy", e, "");
  }
}

template <typename H>
void TPolThread::SetHandler(H THandlers::*Which, H h) {
  const std::lock_guard lock(FHandlersMu);
  FHandlers.*Which = std::move(h);
}

void TPolThread::SetOnEcrInLine(TOnEcrBlk h) { SetHandler(&THandlers::OnEcrInLine, std::move(h)); }
void TPolThread::SetOnInlSended(TCommandNotify h) { SetHandler(&THandlers::OnInlSended, std::move(h)); }
void TPolThread::SetOnOnlSended(TCommandNotify h) { SetHandler(&THandlers::OnOnlSended, std::move(h)); }
void TPolThread::SetOnInlReceived(TOnEcrBlk h) { SetHandler(&THandlers::OnInlReceived, std::move(h)); }
void TPolThread::SetOnOnlReceived(TOnEcrBlk h) { SetHandler(&THandlers::OnOnlReceived, std::move(h)); }
void TPolThread::SetOnTakeError(TOnErr h) { SetHandler(&THandlers::OnTakeError, std::move(h)); }
void TPolThread::SetOnSendReqTimeOutError(TOnErr h) {
  SetHandler(&THandlers::OnSendReqTimeOutError, std::move(h));
}
void TPolThread::SetOnLineDown(TOnLine h) { SetHandler(&THandlers::OnLineDown, std::move(h)); }
void TPolThread::SetOnTakeReply(TReplyAck h) { SetHandler(&THandlers::OnTakeReply, std::move(h)); }

// The handler is copied under the lock and called outside it, so the destructor can
// clear the handlers while one runs, and a handler may call back into the thread.
template <typename H, typename... Args>
void TPolThread::Fire(H THandlers::*Which, Args&&... args) {
  H h;
  {
    const std::lock_guard lock(FHandlersMu);
    h = FHandlers.*Which;
  }
  if (h) h(*this, std::forward<Args>(args)...);
}

// ---- thread life ----

void TPolThread::Resume() {
  if (!FThread.joinable() && !FTerminated) {
    FRunning = true;
    FThread = std::thread([this] { Execute(); });
    return;
  }
  FListChanged.notify_all();
}

bool TPolThread::WaitForEnd(std::chrono::milliseconds Timeout) {
  std::unique_lock lock(FEndMu);
  return FEnded.wait_for(lock, Timeout, [this] { return !FRunning; });
}

void TPolThread::Execute() {
  FLoopThread = std::this_thread::get_id();
  try {
    RunLoop();
  } catch (const std::exception& e) {
    LogAddExceptionLine("TPolThread.Execute", e, "");
  } catch (...) {
    LogAddExceptionLine("TPolThread.Execute", std::runtime_error("unknown exception"), "");
  }
  {
    const std::lock_guard lock(FEndMu);
    FRunning = false;
  }
  FEnded.notify_all();
}

// ---- the ECR list ----

void TPolThread::CheckEcrNo(int Ecr) {
  if (Ecr < 1 || Ecr > MAX_ECR_COUNT)
    throw std::invalid_argument(std::to_string(Ecr) + "is NOT valid ECR logical number !");
}

void TPolThread::AddEcr(int Ecr) {
  // Wakes a waiting loop on every path, exceptions included; the loop's own
  // condition decides whether there is anything to poll.
  struct TWake {
    std::condition_variable& cv;
    ~TWake() { cv.notify_all(); }
  } wake{FListChanged};
  const std::lock_guard lock(FCS);
  CheckEcrNo(Ecr);
  if (FEcrCount >= MAX_ECR_COUNT) throw std::length_error("Too many ECRs !");
  const auto first = FEcrList.begin() + 1;
  const auto last = first + FEcrCount;
  const auto pos = std::lower_bound(first, last, Ecr);
  if (pos != last && *pos == Ecr) return;
  std::copy_backward(pos, last, last + 1);
  *pos = Ecr;
  ++FEcrCount;
}

void TPolThread::RemoveEcr(int Ecr) {
  const std::lock_guard lock(FCS);
  CheckEcrNo(Ecr);
  const auto first = FEcrList.begin() + 1;
  const auto last = first + FEcrCount;
  const auto pos = std::find(first, last, Ecr);
  if (pos == last) return;
  std::copy(pos + 1, last, pos);
  *(last - 1) = 0;
  --FEcrCount;
}

void TPolThread::ClearEcrList() {
  const std::lock_guard lock(FCS);
  FCurrentEcrIndex = 0;
  FEcrCount = 0;
  FEcrList.fill(0);
}

std::int32_t TPolThread::GetNextEcr() {
  const std::lock_guard lock(FCS);
  if (FEcrCount < 1) return -1;
  if (++FCurrentEcrIndex > FEcrCount) FCurrentEcrIndex = 1;
  return FEcrList[static_cast<std::size_t>(FCurrentEcrIndex)];
}

std::vector<int> TPolThread::EcrList() const {
  const std::lock_guard lock(FCS);
  return {FEcrList.begin() + 1, FEcrList.begin() + 1 + FEcrCount};
}

// ---- translation ----

void TPolThread::FillTranTbl(const TCodeTable& Tbl) {
  const std::lock_guard lock(FTblMu);
  FCodeTable = Tbl;
}

ShortStr TPolThread::Ap2Ecr(const ShortStr& s) const {
  const std::lock_guard lock(FTblMu);
  return Translate(FCodeTable, 128, s);
}

ShortStr TPolThread::Ecr2Ap(const ShortStr& s) const {
  const std::lock_guard lock(FTblMu);
  return Translate(FCodeTable, 0, s);
}

// ---- calls from the session logic ----

// Without a communication object there is no line to make noise on.
void TPolThread::NoiseOn() {
  if (FCommObj != nullptr) FCommObj->NoiseOn();
}

void TPolThread::NoiseOff() {
  if (FCommObj != nullptr) FCommObj->NoiseOff();
}

void TPolThread::Next() {
  const bool fromHandler = std::this_thread::get_id() == FLoopThread.load();
  {
    const std::lock_guard lock(FExMu);
    if (!fromHandler && !FEx.Online) return;
    FEx.Next = true;
    FEx.Signalled = true;
  }
  evOnlSendReq.notify_all();
}

void TPolThread::SendInlBlock(const ShortStr& Blk) {
  const ShortStr EcrBlk = Ap2Ecr(Blk);
  const std::lock_guard lock(FExMu);
  FEx.InlBlk = EcrBlk;
  FEx.InlSendReq = true;
}

void TPolThread::SendOnlBlock(const ShortStr& Blk) {
  const ShortStr EcrBlk = Ap2Ecr(Blk);
  {
    const std::lock_guard lock(FExMu);
    FEx.OnlBlk = EcrBlk;
    FEx.Signalled = true;
  }
  evOnlSendReq.notify_all();
}

// ---- the polling loop ----

void TPolThread::RunLoop() {
  if (FCommObj == nullptr) throw std::runtime_error("Communication object not assigned !");
  FCommObj->FreeEcr();
  std::int32_t Ecr = -1;
  std::int32_t TakeResult = RES_NORESULT;
  while (!FTerminated) {
    if (FCommObj->LineLost()) {
      if (!RecoverLine()) break;
      // The line is back: start as on a new line, with the same ECRs to poll.
      FReplyGuard.Restart();
      FCommObj->FreeEcr();
      Ecr = -1;
      TakeResult = RES_NORESULT;
      continue;
    }
    if (TakeResult == RES_OK) {
      FCommObj->FreeEcr();
      FCommObj->FreeEcr();
    }
    const std::int32_t OldEcr = Ecr;
    Ecr = GetNextEcr();
    if (Ecr < 1) {
      WaitForEcrs();
      FReplyGuard.Restart();
      Ecr = -1;
      TakeResult = RES_NORESULT;
      continue;
    }
    // A new round after a failed take: release whatever the line may still hold.
    if (OldEcr > Ecr && TakeResult != RES_OK) FCommObj->FreeEcr();
    TakeResult = PollEcr(Ecr);
  }
}

// Brings a lost line back: the session hears at once that it is down (and fails what
// waits for the line), then the device is opened again by its name after waits that
// double up to LINE_RETRY_LAST, the session hearing again after each failed attempt.
// False when the thread is to stop.
bool TPolThread::RecoverLine() {
  std::chrono::milliseconds wait = LINE_RETRY_FIRST;
  for (;;) {
    Fire(&THandlers::OnLineDown);
    if (WaitOrTerminate(wait)) return false;
    if (FCommObj->ReopenEcrPort()) return true;
    wait = std::min(wait * 2, LINE_RETRY_LAST);
  }
}

// True when the thread is to stop; otherwise after d.
bool TPolThread::WaitOrTerminate(std::chrono::milliseconds d) {
  std::unique_lock lock(FCS);
  return FListChanged.wait_for(lock, d, [this] { return FTerminated.load(); });
}

void TPolThread::WaitForEcrs() {
  std::unique_lock lock(FCS);
  FListChanged.wait(lock, [this] { return FEcrCount > 0 || FTerminated; });
}

// One take and the exchange that follows it; returns the take's result.
std::int32_t TPolThread::PollEcr(std::int32_t Ecr) {
  ShortStr Block;
  FRefusedInTake = false;
  FCommObj->SetReplyCheck(
      [this, Ecr](const ShortStr& Raw, bool Held) { return MayAcknowledge(Ecr, Raw, Held); });
  const std::int32_t TakeResult = FCommObj->TakeEcr(Ecr, Block);
  if (TakeResult == RES_OK) Block = Ecr2Ap(Block);
  if (const auto others = FReplyGuard.Taken(Ecr, TakeResult, Block); !others.empty())
    SerialShared(Ecr, FReplyGuard.SerialOf(Ecr), others);
  if (TakeResult != RES_OK) {
    Fire(&THandlers::OnTakeError, Ecr, static_cast<std::uint8_t>(TakeResult), std::int32_t{0});
    return TakeResult;
  }
  BeginExchange();
  if (Block.size() <= MAX_INLINE_REPLY)
    InlineExchange(Ecr, Block);
  else
    OnlineExchange(Ecr, Block);
  return TakeResult;
}

// Asked before a take reply is acknowledged: a frame that TReplyGuard finds to be
// another register's stays unacknowledged, and the log says why; one whose serial
// number nobody is known by waits for a frame after it. Poll answers of a serial number
// that answers for several ECRs, and frames of a device streaming them, come in
// numbers: they are logged at most once a minute (SerialShared, and the line's count
// of frames outside any take).
TBasicCommunicationObject::TReplyAnswer TPolThread::JudgeReply(std::int32_t Ecr, const ShortStr& Raw) {
  using A = TBasicCommunicationObject::TReplyAnswer;
  NoteFramesOutsideTakes();
  const TReplyJudgement j = FReplyGuard.Judge(Ecr, Ecr2Ap(Raw), FRefusedInTake);
  FReplyGuard.Offered(Ecr, j);
  if (j.Verdict == TReplyVerdict::Own) return A::Take;
  FRefusedInTake = true;  // what comes after it in this take is not the take's first frame
  switch (j.Verdict) {
    case TReplyVerdict::Unsure:
      return A::Wait;
    case TReplyVerdict::Shared:
      SerialShared(Ecr, j.Serial, FReplyGuard.SharedWith(Ecr, j.Serial));
      return A::Refuse;
    case TReplyVerdict::Stray:
      if (FStats != nullptr) FStats->CountOutsideTake();
      return A::Refuse;
    default:
      LogAddLine(ReplyJudgementText(Ecr, j));
      return j.Refused() ? A::Refuse : A::Take;
  }
}

// Frames found outside any take within the last STREAM_AFTERGLOW make the reply guard
// wary of serial numbers it does not know.
void TPolThread::NoteFramesOutsideTakes() {
  if (FStats == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (const std::uint64_t n = FStats->OutsideTake(); n != FOutsideSeen) {
    FOutsideSeen = n;
    FOutsideAt = now;
  }
  FReplyGuard.FramesOutsideTakes(FOutsideAt != std::chrono::steady_clock::time_point{} &&
                                 now - FOutsideAt < STREAM_AFTERGLOW);
}

// Ecr's take was answered with Serial, which Others were answered with in the same round:
// one device answering for several numbers, or registers sharing a number. Protocol
// without addresses cannot tell whose the frames are; the operator hears of it in the
// log (at most one line per number every SHARED_LOG_EVERY), the counters and the status.
void TPolThread::SerialShared(std::int32_t Ecr, std::int32_t serial, const std::vector<int>& Others) {
  std::vector<int> ecrs = Others;
  ecrs.push_back(Ecr);
  std::sort(ecrs.begin(), ecrs.end());
  ecrs.erase(std::unique(ecrs.begin(), ecrs.end()), ecrs.end());
  if (FStats != nullptr) {
    FStats->Count(Ecr, TLineCount::SharedSerial);
    FStats->SharedSerial(serial, ecrs);
  }
  auto it = std::find_if(FSharedUnlogged.begin(), FSharedUnlogged.end(),
                         [&](const auto& s) { return s.first == serial; });
  if (it == FSharedUnlogged.end()) it = FSharedUnlogged.insert(FSharedUnlogged.end(), {serial, {}});
  for (const int e : ecrs)
    if (std::find(it->second.begin(), it->second.end(), e) == it->second.end()) it->second.push_back(e);
  std::sort(it->second.begin(), it->second.end());
  const auto now = std::chrono::steady_clock::now();
  if (FSharedLogged != std::chrono::steady_clock::time_point{} && now - FSharedLogged < SHARED_LOG_EVERY)
    return;
  FSharedLogged = now;
  for (const auto& [s, list] : FSharedUnlogged) LogAddLine("Line: " + SharedSerialText(s, list));
  FSharedUnlogged.clear();
}

// Whatever the session logic handed over before this take is dropped here.
void TPolThread::BeginExchange() {
  const std::lock_guard lock(FExMu);
  FEx.InlSendReq = false;
  FEx.Signalled = false;
  FEx.Next = false;
  FEx.Online = false;
}

bool TPolThread::NextRequested() {
  const std::lock_guard lock(FExMu);
  return FEx.Next;
}

void TPolThread::ResetOnlSendReq() {
  const std::lock_guard lock(FExMu);
  FEx.Signalled = false;
}

void TPolThread::InlineExchange(std::int32_t Ecr, const ShortStr& Block) {
  Fire(&THandlers::OnEcrInLine, Ecr, Block, std::uint8_t{0});
  ShortStr InlBlk;
  {
    const std::lock_guard lock(FExMu);
    if (FEx.Next || !FEx.InlSendReq) return;
    InlBlk = FEx.InlBlk;
  }
  const std::int32_t SndErr = FCommObj->SendBlock(InlBlk);
  if (SndErr != RES_OK) LogAddLine("InLine SndErr: " + GetErrorName(SndErr));
  {
    const std::lock_guard lock(FExMu);
    FEx.InlSendReq = false;
  }
  Fire(&THandlers::OnInlSended, Ecr, static_cast<std::uint8_t>(SndErr));
  if (NextRequested()) return;
  // The ECR's answer is awaited even after a failed send: it may have got the block.
  ShortStr Tmp;
  const std::int32_t RcvErr = FCommObj->GetBlock(Tmp, BIG_TO);
  if (RcvErr != RES_OK) LogAddLine("InLine RcvErr: " + GetErrorName(RcvErr));
  Fire(&THandlers::OnInlReceived, Ecr, Ecr2Ap(Tmp), static_cast<std::uint8_t>(RcvErr));
}

void TPolThread::OnlineExchange(std::int32_t Ecr, const ShortStr& Block) {
  {
    const std::lock_guard lock(FExMu);
    FEx.Online = true;
    FEx.Signalled = false;
  }
  Fire(&THandlers::OnOnlReceived, Ecr, Block, std::uint8_t{0});
  if (NextRequested()) return;
  switch (WaitOnlSendReq()) {
    case TWaitOutcome::Terminated:
      return;
    case TWaitOutcome::TimedOut:
      Fire(&THandlers::OnSendReqTimeOutError, Ecr, std::uint8_t{0}, std::int32_t{0});
      return;
    case TWaitOutcome::Signalled:
      break;
  }
  ShortStr OnlBlk;
  {
    const std::lock_guard lock(FExMu);
    if (FEx.Next) return;
    FEx.Signalled = false;
    OnlBlk = FEx.OnlBlk;
  }
  const std::int32_t SndErr = FCommObj->SendBlock(OnlBlk);
  if (SndErr != RES_OK) LogAddLine("OnLine SndErr: " + GetErrorName(SndErr));
  ResetOnlSendReq();
  Fire(&THandlers::OnOnlSended, Ecr, static_cast<std::uint8_t>(SndErr));
}

// Waits for an answer or Next; a stopping thread cuts the wait short. The event
// resets itself when the wait takes it.
TPolThread::TWaitOutcome TPolThread::WaitOnlSendReq() {
  std::unique_lock lock(FExMu);
  const bool woken = evOnlSendReq.wait_for(lock, FOnlineWait.load(),
                                           [this] { return FEx.Signalled || FTerminated; });
  if (FEx.Signalled) {
    FEx.Signalled = false;
    return TWaitOutcome::Signalled;
  }
  return woken ? TWaitOutcome::Terminated : TWaitOutcome::TimedOut;
}

// A reply of the taken ECR is acknowledged only if the session logic wants it now; a
// held frame is asked about once more, when nothing came after it.
TBasicCommunicationObject::TReplyAnswer TPolThread::MayAcknowledge(std::int32_t Ecr, const ShortStr& Raw,
                                                                    bool Held) {
  using A = TBasicCommunicationObject::TReplyAnswer;
  if (!Held) {
    if (const A a = JudgeReply(Ecr, Raw); a != A::Take) return a;
  }
  TReplyAck h;
  {
    const std::lock_guard lock(FHandlersMu);
    h = FHandlers.OnTakeReply;
  }
  return !h || h(*this, Ecr, Ecr2Ap(Raw)) ? A::Take : A::Refuse;
}

}  // namespace kassiro
