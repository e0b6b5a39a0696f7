// The receipt numbers' way to disk, off the session lock. A draw (under Session::Lock)
// only counts a change and wakes the flush thread; that thread copies the record under
// the lock, writes and flushes it with the lock released, and then lets out the
// messages that waited for it. Draws made while a flush runs reach the disk together
// with the next one (group commit), so a slow disk delays the clients of the drawing
// ECR by a flush or two, and nobody else at all. A report waits in the same way for its
// record in the report journal, which its own thread writes.
//
// The object stands between the session routines and the TCP server. A message about an
// ECR whose last drawn number is not yet on disk is held, and so is every later message
// for the same client, so each client still gets its messages in the order they were
// made; other clients' messages pass at once. A number thus never leaves the server
// before the disk holds a counter past it, whenever the process is killed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <thread>

#include "core/SessionLinks.h"
#include "core/TheNewDefs.h"
#include "util/ShortStr.h"

namespace kassiro {

class TReceiptFlush final : public TClientLink {
 public:
  // Writes the record and flushes it to disk; false when it could not (the store logs
  // why). Called on the flush thread, without the session lock.
  using TStore = std::function<bool(const TIniStru&)>;

  // Starts the flush thread. s and clients must outlive the object.
  TReceiptFlush(Session& s, TClientLink& clients, TStore store);
  // Stores what is still pending, lets out what waited for it and ends the thread.
  ~TReceiptFlush();
  TReceiptFlush(const TReceiptFlush&) = delete;
  TReceiptFlush& operator=(const TReceiptFlush&) = delete;

  // Under Session::Lock, after Session::Changes went up: wakes the flush thread.
  void Changed();
  // Under Session::Lock: passes the message on, or holds it until the disk holds what
  // its ECR drew (or an earlier held message for the same client has gone).
  void SendData(std::uint16_t ID, const ShortStr& Data) override;
  // Passed on at once: the TCP server holds back what follows by itself.
  void WrongPassword(std::uint16_t ID) override { FClients.WrongPassword(ID); }
  // Under Session::Lock: connection ID has gone; what was held for it is dropped, since
  // its identifier may come to another client.
  void Forget(std::uint16_t ID);

  // Without the session lock: returns once every change counted so far is on disk and
  // every message that waited for it was passed on.
  void Settle();
  // Without the session lock: stores the record as it is now and returns once it is on disk.
  void StoreNow();

  // Under Session::Lock: the report journal holds every record up to seq on disk; the
  // messages that waited for one of them go.
  void JournalStored(std::uint64_t seq);

  // Under Session::Lock: messages held back, for the status and the tests.
  std::size_t HeldCount() const { return FHeld.size(); }

 private:
  struct THeld {
    std::uint16_t ID;
    ShortStr Data;
    std::uint64_t Needs;  // the change that must be on disk first
    std::uint64_t JournalNeeds;  // and the report journal's record
  };
  struct TNeeds {
    std::uint64_t Change, Journal;
  };

  void Run();
  TNeeds NeedsFor(const ShortStr& Data) const;
  bool Stored(std::uint64_t change, std::uint64_t journal) const {
    return change <= FStored && journal <= FJournalStored;
  }
  bool Holds(std::uint16_t ID) const;
  void Release();
  void WaitStored(std::unique_lock<std::mutex>& lock, std::uint64_t change);

  Session& FS;
  TClientLink& FClients;
  TStore FStore;
  // All below under FS.Lock.
  std::uint64_t FStored = 0;  // every change up to this one is on disk
  std::uint64_t FJournalStored = 0;  // the report journal's records up to this one too
  bool FStop = false;
  std::deque<THeld> FHeld;
  std::condition_variable FWake;    // a change to store, or the end
  std::condition_variable FStoredCv;  // FStored went up
  std::thread FThread;  // last: starts once everything it uses exists
};

}  // namespace kassiro
