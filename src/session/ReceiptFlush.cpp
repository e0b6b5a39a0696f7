#include "session/ReceiptFlush.h"

#include <algorithm>
#include <vector>

#include "core/LogFile.h"
#include "util/BarDefs.h"

namespace kassiro {

TReceiptFlush::TReceiptFlush(Session& s, TClientLink& clients, TStore store)
    : FS(s), FClients(clients), FStore(std::move(store)), FThread([this] { Run(); }) {}

TReceiptFlush::~TReceiptFlush() {
  {
    std::lock_guard lock(FS.Lock);
    FStop = true;
  }
  FWake.notify_one();
  FThread.join();
}

void TReceiptFlush::Changed() { FWake.notify_one(); }

// A message carries only its own ECR's numbers (the ECR is in its head).
TReceiptFlush::TNeeds TReceiptFlush::NeedsFor(const ShortStr& Data) const {
  std::uint8_t st = 0, cop = 0, port = 0, ecr = 0, err = 0;
  ShortStr text;
  DispatchString(Data.view(), st, cop, port, ecr, err, text);
  if (ecr < 1 || ecr > MAX_ECR_COUNT) return {0, 0};
  return {FS.BonChange[ecr], FS.JournalNeed[ecr]};
}

bool TReceiptFlush::Holds(std::uint16_t ID) const {
  return std::any_of(FHeld.begin(), FHeld.end(), [ID](const THeld& h) { return h.ID == ID; });
}

void TReceiptFlush::SendData(std::uint16_t ID, const ShortStr& Data) {
  const TNeeds needs = NeedsFor(Data);
  if (Stored(needs.Change, needs.Journal) && !Holds(ID)) {
    FClients.SendData(ID, Data);
    return;
  }
  FHeld.push_back(THeld{ID, Data, needs.Change, needs.Journal});
}

void TReceiptFlush::JournalStored(std::uint64_t seq) {
  if (seq <= FJournalStored) return;
  FJournalStored = seq;
  Release();
}

void TReceiptFlush::Forget(std::uint16_t ID) {
  std::erase_if(FHeld, [ID](const THeld& h) { return h.ID == ID; });
}

// In the order they were held; a client whose earlier message stays keeps the later ones.
void TReceiptFlush::Release() {
  std::vector<std::uint16_t> waiting;
  for (auto it = FHeld.begin(); it != FHeld.end();) {
    if (Stored(it->Needs, it->JournalNeeds) && std::find(waiting.begin(), waiting.end(), it->ID) == waiting.end()) {
      FClients.SendData(it->ID, it->Data);
      it = FHeld.erase(it);
    } else {
      waiting.push_back(it->ID);
      ++it;
    }
  }
}

void TReceiptFlush::Run() {
  std::unique_lock lock(FS.Lock);
  for (;;) {
    FWake.wait(lock, [this] { return FStop || FS.Changes > FStored; });
    if (FS.Changes == FStored) return;  // asked to end, nothing left to store
    const std::uint64_t upTo = FS.Changes;
    const TIniStru record = FS.IniStru;
    lock.unlock();
    // A failed store lets the numbers out all the same, as a failed write always did:
    // the store logs it, and holding them would leave the ECR's clients stuck.
    try {
      FStore(record);
    } catch (const std::exception& e) {
      LogAddLine(std::string("Receipt flush: ") + e.what());
    }
    lock.lock();
    FStored = upTo;
    Release();
    FStoredCv.notify_all();
  }
}

void TReceiptFlush::WaitStored(std::unique_lock<std::mutex>& lock, std::uint64_t change) {
  FStoredCv.wait(lock, [this, change] { return FStored >= change; });
}

void TReceiptFlush::Settle() {
  std::unique_lock lock(FS.Lock);
  WaitStored(lock, FS.Changes);
}

void TReceiptFlush::StoreNow() {
  std::unique_lock lock(FS.Lock);
  const std::uint64_t change = ++FS.Changes;
  FWake.notify_one();
  WaitStored(lock, change);
}

}  // namespace kassiro
