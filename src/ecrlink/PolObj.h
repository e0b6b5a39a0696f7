// The polling thread: keeps the list of ECRs to poll, takes them in turn through the
// communication object, and raises an event on its own thread for every block it
// receives and for the outcome of every block it sends.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/KassiroConstants.h"
#include "core/SessionLinks.h"
#include "ecrlink/BasicComObject.h"
#include "ecrlink/LineCounters.h"
#include "ecrlink/ProtConst.h"
#include "ecrlink/ReplyGuard.h"
#include "util/LangTbl.h"
#include "util/ShortStr.h"

namespace kassiro {

class TPolThread;

// The outcome of a block sent to an ECR (a RES_* code as a byte).
using TCommandNotify = std::function<void(TPolThread& Sender, std::int32_t Ecr, std::uint8_t result)>;
// A block received from an ECR, already in the application's character set.
using TOnEcrBlk = std::function<void(TPolThread& Sender, std::int32_t Ecr, const ShortStr& Block,
                                     std::uint8_t result)>;
// A failed take or an on-line request nobody answered; the last value is always 0.
using TOnErr = std::function<void(TPolThread& Sender, std::int32_t Ecr, std::uint8_t result,
                                  std::int32_t ext)>;
// Asked before a take reply (in the application's character set) that is the taken
// ECR's own is acknowledged; false leaves it unacknowledged for the ECR to keep.
using TReplyAck = std::function<bool(TPolThread& Sender, std::int32_t Ecr, const ShortStr& Block)>;
// The serial line is lost: raised when it goes and after every attempt to open it
// again that failed.
using TOnLine = std::function<void(TPolThread& Sender)>;

// Waits between attempts to open a lost line again: doubling from the first to the last.
inline constexpr std::chrono::milliseconds LINE_RETRY_FIRST{100};
inline constexpr std::chrono::milliseconds LINE_RETRY_LAST{1000};

class TPolThread final : public TPollLink {
 public:
  // Created suspended: no thread runs until Resume(). The table starts as
  // DEFAULT_CODETABLE's.
  TPolThread();
  // Clears the handlers, stops the thread (cutting short any wait and, through
  // Abort, the line exchange under way), then closes the port if an object is set.
  ~TPolThread() override;
  TPolThread(const TPolThread&) = delete;
  TPolThread& operator=(const TPolThread&) = delete;

  // The communication object is not owned; set it before Resume().
  void SetCommunicationObject(TBasicCommunicationObject* Obj) { FCommObj = Obj; }
  TBasicCommunicationObject* CommunicationObject() const { return FCommObj; }

  void SetOnEcrInLine(TOnEcrBlk h);
  void SetOnInlSended(TCommandNotify h);
  void SetOnOnlSended(TCommandNotify h);
  void SetOnInlReceived(TOnEcrBlk h);
  void SetOnOnlReceived(TOnEcrBlk h);
  void SetOnTakeError(TOnErr h);
  void SetOnSendReqTimeOutError(TOnErr h);
  void SetOnLineDown(TOnLine h);
  void SetOnTakeReply(TReplyAck h);

  // The ECR's serial number as the settings record keeps it, so that a late frame of
  // another register is told apart from the first take on; before Resume().
  void KnowSerial(std::int32_t Ecr, std::int32_t SerNum) { FReplyGuard.Know(Ecr, SerNum); }
  // Where a serial number answering for several ECRs is counted and kept for the status;
  // it outlives the thread. Before Resume().
  void SetLineStats(TLineStats* Stats) { FStats = Stats; }
  // How often the log says that a serial number answers for several ECRs.
  static constexpr std::chrono::seconds SHARED_LOG_EVERY{60};
  // How long after the last frame found outside any take a serial number nobody is
  // known by is taken for a streaming device's rather than a register's.
  static constexpr std::chrono::seconds STREAM_AFTERGLOW{60};

  // How long an on-line request waits for its answer (WAIT_COMPUTER by default).
  void SetOnlineWait(std::chrono::milliseconds w) { FOnlineWait = w; }

  // Starts the thread the first time; later it only wakes a thread waiting for ECRs.
  void Resume();
  // True from Resume() until the loop has ended.
  bool Running() const { return FRunning; }
  // Waits up to Timeout for the loop to end; true if it has.
  bool WaitForEnd(std::chrono::milliseconds Timeout);

  // The ECR list. AddEcr/RemoveEcr throw std::invalid_argument for a number outside
  // 1..MAX_ECR_COUNT and AddEcr std::length_error for a full list; the list is then unchanged.
  void AddEcr(int Ecr) override;
  void RemoveEcr(int Ecr) override;
  void ClearEcrList();
  std::int32_t GetNextEcr();  // -1 when the list is empty
  std::vector<int> EcrList() const;

  void FillTranTbl(const TCodeTable& Tbl);
  ShortStr Ap2Ecr(const ShortStr& s) const;
  ShortStr Ecr2Ap(const ShortStr& s) const;

  void NoiseOn() override;
  void NoiseOff() override;
  // Ends the current exchange; nothing more is sent to this ECR in it. From another
  // thread it ends only an on-line exchange (a client's refusal of the ECR's request):
  // an in-line exchange is ended by its own handlers alone, so a stray Next never skips
  // the reading of an ECR's reply to a command.
  void Next() override;
  // The in-line command for the ECR; honoured only from inside OnEcrInLine.
  void SendInlBlock(const ShortStr& Blk) override;
  // The answer to the ECR's on-line request; from any thread, within the on-line wait.
  void SendOnlBlock(const ShortStr& Blk) override;

 private:
  struct THandlers {
    TOnEcrBlk OnEcrInLine, OnInlReceived, OnOnlReceived;
    TCommandNotify OnInlSended, OnOnlSended;
    TOnErr OnTakeError, OnSendReqTimeOutError;
    TOnLine OnLineDown;
    TReplyAck OnTakeReply;
  };
  // The state of one exchange that other threads may touch, guarded by FExMu.
  struct TExchange {
    bool Signalled = false;   // evOnlSendReq (auto-reset)
    bool Next = false;        // FNext
    bool InlSendReq = false;  // FInlSendReq
    bool Online = false;      // the exchange is an on-line one
    ShortStr InlBlk;          // FInlBlk, in the ECR's character set
    ShortStr OnlBlk;          // FOnlBlk, in the ECR's character set
  };
  enum class TWaitOutcome { Signalled, TimedOut, Terminated };

  void Execute();
  void RunLoop();
  std::int32_t PollEcr(std::int32_t Ecr);
  TBasicCommunicationObject::TReplyAnswer JudgeReply(std::int32_t Ecr, const ShortStr& Raw);
  TBasicCommunicationObject::TReplyAnswer MayAcknowledge(std::int32_t Ecr, const ShortStr& Raw, bool Held);
  void NoteFramesOutsideTakes();
  void SerialShared(std::int32_t Ecr, std::int32_t serial, const std::vector<int>& Others);
  void InlineExchange(std::int32_t Ecr, const ShortStr& Block);
  void OnlineExchange(std::int32_t Ecr, const ShortStr& Block);
  void WaitForEcrs();
  bool RecoverLine();
  bool WaitOrTerminate(std::chrono::milliseconds d);
  TWaitOutcome WaitOnlSendReq();
  void ResetOnlSendReq();
  void BeginExchange();
  bool NextRequested();
  static void CheckEcrNo(int Ecr);

  template <typename H, typename... Args>
  void Fire(H THandlers::*Which, Args&&... args);
  template <typename H>
  void SetHandler(H THandlers::*Which, H h);

  TCodeTable FCodeTable{};
  mutable std::mutex FTblMu;

  // The ECR list: FEcrList[1..FEcrCount] ascending, the rest 0; index 0 unused.
  std::int32_t FCurrentEcrIndex = 0;
  std::int32_t FEcrCount = 0;
  std::array<std::int32_t, MAX_ECR_COUNT + 1> FEcrList{};
  mutable std::mutex FCS;
  std::condition_variable FListChanged;  // the loop waits here while the list is empty

  THandlers FHandlers;
  std::mutex FHandlersMu;

  TBasicCommunicationObject* FCommObj = nullptr;
  TReplyGuard FReplyGuard;  // used by the polling thread alone
  bool FRefusedInTake = false;  // the take under way refused or held a frame
  // The count of frames outside any take when last looked at, and when it last grew.
  std::uint64_t FOutsideSeen = 0;
  std::chrono::steady_clock::time_point FOutsideAt{};
  TLineStats* FStats = nullptr;
  // Serial numbers that answered for several ECRs since the last log line about them.
  std::vector<std::pair<std::int32_t, std::vector<int>>> FSharedUnlogged;
  std::chrono::steady_clock::time_point FSharedLogged{};  // when that line was last written

  TExchange FEx;
  std::mutex FExMu;
  std::condition_variable evOnlSendReq;

  std::atomic<std::chrono::milliseconds> FOnlineWait{std::chrono::milliseconds(WAIT_COMPUTER)};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FRunning{false};
  std::atomic<std::thread::id> FLoopThread{};  // the polling thread, once it runs
  std::mutex FEndMu;
  std::condition_variable FEnded;
  std::thread FThread;
};

}  // namespace kassiro
