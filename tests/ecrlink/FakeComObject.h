// A scripted communication object for the polling thread's tests. Every call lands in
// a journal, which the tests' event handlers share, so one list shows the order of
// line traffic and events. Takes pass a gate: each needs a permit from AllowTakes(),
// so a test lets the loop run a known number of cycles and then finds it parked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ecrlink/BasicComObject.h"
#include "ecrlink/ProtConst.h"

namespace kassiro::testing {

inline constexpr std::chrono::seconds kDeadline{10};

class TJournal {
 public:
  void Add(std::string line) {
    {
      const std::lock_guard lock(mu_);
      lines_.push_back(std::move(line));
    }
    cv_.notify_all();
  }
  std::vector<std::string> Lines() const {
    const std::lock_guard lock(mu_);
    return lines_;
  }
  bool Has(std::string_view line) const {
    const std::lock_guard lock(mu_);
    return Contains(line);
  }
  // Waits until the journal holds the line.
  bool WaitFor(std::string_view line) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, kDeadline, [&] { return Contains(line); });
  }

 private:
  bool Contains(std::string_view line) const {
    for (const auto& l : lines_)
      if (l == line) return true;
    return false;
  }
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

class FakeComObject final : public TBasicCommunicationObject {
 public:
  struct TReply {
    std::int32_t Result = RES_OK;
    std::string Block;
  };

  explicit FakeComObject(TJournal& journal) : journal_(journal) {}

  // ---- script ----
  // What ECR n answers to every take (default: RES_OK with the in-line reply "1;").
  void SetTakeReply(int Ecr, TReply r) { Locked([&] { takeReplies_[Ecr] = std::move(r); }); }
  // Results of the next SendBlock calls, in order; RES_OK once they run out.
  void QueueSendResult(std::int32_t r) { Locked([&] { sendResults_.push_back(r); }); }
  // Frames that come after a take reply which the reply check refuses or holds, in
  // order; when none is left, a held frame is the reply if the check then takes it, and
  // otherwise the take ends with RES_DIFF. Each frame left unacknowledged is journalled.
  void QueueFrameAfterRefusal(std::string Block) { Locked([&] { afterRefusal_.push_back(std::move(Block)); }); }
  // Replies of the next GetBlock calls, in order; RES_OK "ok;" once they run out.
  void QueueGetReply(TReply r) { Locked([&] { getReplies_.push_back(std::move(r)); }); }
  // GetBlock then stays in the call until Abort (at most a minute).
  void SetGetBlockHangs(bool h) { Locked([&] { getHangs_ = h; }); }
  // The line is lost from now on, until `failedReopens` attempts to open it again
  // have failed.
  void LoseLine(int failedReopens) {
    Locked([&] {
      lost_ = true;
      reopenFailures_ = failedReopens;
    });
  }
  // Runs inside every SendBlock, while the frame's ACK would be awaited.
  void SetDuringSend(std::function<void()> f) { Locked([&] { duringSend_ = std::move(f); }); }

  // Lets n more takes through the gate.
  void AllowTakes(int n) {
    Locked([&] { permits_ += n; });
    cv_.notify_all();
  }
  // Waits until the loop has used every permit and waits at the gate.
  bool WaitParked() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, kDeadline, [&] { return parked_ && permits_ == 0; });
  }

  // ---- TBasicCommunicationObject ----
  void OpenEcrPort() override { journal_.Add("OpenEcrPort"); }
  void CloseEcrPort() override { journal_.Add("CloseEcrPort"); }
  void NoiseOn() override { journal_.Add("NoiseOn"); }
  void NoiseOff() override { journal_.Add("NoiseOff"); }
  void FreeEcr() override { journal_.Add("FreeEcr"); }

  std::int32_t TakeEcr(std::int32_t Ecr, ShortStr& Block) override {
    Block.clear();
    TReply r;
    {
      std::unique_lock lock(mu_);
      parked_ = permits_ == 0;
      cv_.notify_all();
      cv_.wait(lock, [&] { return permits_ > 0 || aborted_; });
      parked_ = false;
      if (aborted_) return RES_TIMEOUT;
      --permits_;
      const auto it = takeReplies_.find(Ecr);
      r = it != takeReplies_.end() ? it->second : TReply{RES_OK, "1;"};
    }
    journal_.Add("TakeEcr " + std::to_string(Ecr));
    if (r.Result != RES_OK) return r.Result;
    std::optional<ShortStr> held;
    for (Block.assign(r.Block);;) {
      const TReplyAnswer a = CheckReply(Block);
      if (a == TReplyAnswer::Take) {
        if (held) journal_.Add("Unacknowledged " + held->str());
        return RES_OK;
      }
      if (a == TReplyAnswer::Wait) {
        held = Block;
      } else {
        journal_.Add("Unacknowledged " + Block.str());
      }
      Block.clear();
      const std::lock_guard lock(mu_);
      if (afterRefusal_.empty()) break;
      Block.assign(afterRefusal_.front());
      afterRefusal_.pop_front();
    }
    if (held && CheckReply(*held, true) == TReplyAnswer::Take) {
      Block = *held;
      return RES_OK;
    }
    if (held) journal_.Add("Unacknowledged " + held->str());
    return RES_DIFF;
  }

  std::int32_t SendBlock(ShortStr Block) override {
    journal_.Add("SendBlock " + Block.str());
    std::function<void()> during;
    Locked([&] { during = duringSend_; });
    if (during) during();
    const std::lock_guard lock(mu_);
    if (aborted_) return RES_TIMEOUT;
    if (sendResults_.empty()) return RES_OK;
    const std::int32_t r = sendResults_.front();
    sendResults_.pop_front();
    return r;
  }

  std::int32_t GetBlock(ShortStr& Block, std::uint32_t BegTimeOut) override {
    journal_.Add("GetBlock " + std::to_string(BegTimeOut));
    Block.clear();
    std::unique_lock lock(mu_);
    if (getHangs_) cv_.wait_for(lock, std::chrono::minutes(1), [&] { return aborted_; });
    if (aborted_) return RES_TIMEOUT;
    TReply r{RES_OK, "ok;"};
    if (!getReplies_.empty()) {
      r = getReplies_.front();
      getReplies_.pop_front();
    }
    if (r.Result == RES_OK) Block.assign(r.Block);
    return r.Result;
  }

  bool LineLost() const override {
    const std::lock_guard lock(mu_);
    return lost_;
  }
  bool ReopenEcrPort() override {
    journal_.Add("ReopenEcrPort");
    const std::lock_guard lock(mu_);
    if (reopenFailures_ > 0) {
      --reopenFailures_;
      return false;
    }
    lost_ = false;
    return true;
  }

  void Abort() override {
    journal_.Add("Abort");
    Locked([&] { aborted_ = true; });
    cv_.notify_all();
  }

 private:
  void Locked(const std::function<void()>& f) {
    const std::lock_guard lock(mu_);
    f();
  }

  TJournal& journal_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<int, TReply> takeReplies_;
  std::deque<std::int32_t> sendResults_;
  std::deque<TReply> getReplies_;
  std::deque<std::string> afterRefusal_;
  bool getHangs_ = false;
  bool lost_ = false;
  int reopenFailures_ = 0;
  std::function<void()> duringSend_;
  int permits_ = 0;
  bool parked_ = false;
  bool aborted_ = false;
};

}  // namespace kassiro::testing
