// SockCmps: the server's TCP endpoint. TSockServer listens on one port, numbers its
// clients 1..500 and exchanges messages with them, each framed on the stream by one
// length byte (0..255) followed by that many bytes, in both directions.
//
// Threads. The server runs its own event loop on one thread (the io thread), started by
// Enable and joined by Disable; every event is raised on that thread, never while the
// server holds a lock of its own. SendData may be called from any thread, including from
// inside an event handler: it only queues the frame and never blocks on the network or
// raises an event itself. Enable, Disable and the destructor belong to one controlling
// thread; the event handlers are set before Enable and left alone while enabled.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/SessionLinks.h"
#include "net/NetRange.h"
#include "util/MessageFrames.h"
#include "util/ShortStr.h"

namespace kassiro {

inline constexpr std::uint16_t MAX_ENTRIES = 500;         // identifiers run 1..500
inline constexpr std::size_t BUFF_SIZE = 512;             // bytes read from a connection at once
inline constexpr std::uint16_t DEFAULT_LOCAL_PORT = 5000; // the server sets its own port
// Bytes of frames that may wait for one slow client before it is dropped.
inline constexpr std::size_t MAX_SEND_QUEUE = 256 * 1024;
// Connections one remote address may hold at once: one host never takes the slots
// that every other host of the shop needs.
inline constexpr std::size_t MAX_PER_ADDRESS = 32;
// Wrong set passwords an address may give before its answers wait; the first wait, which
// doubles with each further wrong password up to the longest.
inline constexpr unsigned FREE_WRONG_PASSWORDS = 3;
inline constexpr std::chrono::milliseconds FIRST_PASSWORD_WAIT{1000};
inline constexpr std::chrono::milliseconds LONGEST_PASSWORD_WAIT{60'000};
// An address without a wrong password for this long starts afresh.
inline constexpr std::chrono::minutes WRONG_PASSWORD_MEMORY{10};
// Addresses remembered at once; the one quiet longest makes room for a new one.
inline constexpr std::size_t MAX_WRONG_PASSWORD_HOSTS = 4096;
// Bytes read from a held connection and kept; beyond them the server stops reading it.
inline constexpr std::size_t MAX_KEPT_INPUT = 64 * 1024;
// How long a client that ended its side of the connection is given to take what was
// already queued for it before the server closes the connection all the same.
inline constexpr std::chrono::milliseconds DRAIN_TIME{5000};

class TSockServer;

using TNotifyWord = std::function<void(TSockServer& Sender, std::uint16_t ID)>;
using TNotifyString =
    std::function<void(TSockServer& Sender, std::uint16_t ID, const ShortStr& Data)>;
using TNotifyIntStr =
    std::function<void(TSockServer& Sender, std::int32_t Err, const ShortStr& Txt)>;

class TSockServer final : public TClientLink {
 public:
  TSockServer();
  ~TSockServer() override;  // disables; never to be called from an event handler
  TSockServer(const TSockServer&) = delete;
  TSockServer& operator=(const TSockServer&) = delete;

  // Listens on LocalPort of the listen address (every IPv4 address by default). Set-up runs on the caller's thread: a
  // failing step raises OnError there and leaves the server not enabled. Does nothing
  // while enabled, or when called from an event handler.
  void Enable();
  // Closes the listener and every connection without OnDisconnect, frees all
  // identifiers and returns once the io thread has ended. Called from an event handler,
  // it closes everything at once and the io thread ends when the handler returns; it is
  // joined by the next Enable, Disable or the destructor.
  void Disable();
  bool Enabled() const { return FEnabled.load(); }

  // Connections one remote address may hold; a further one is closed at once.
  void SetMaxPerAddress(std::size_t Max) { FMaxPerAddress = Max; }

  // The one local address to listen on, nothing for every IPv4 address; and the
  // clients that may connect (empty: everybody), any other being closed at once. Both
  // are used by the next Enable.
  void SetListenAddress(std::optional<TIpAddress> Addr) { FListenAddress = Addr; }
  const std::optional<TIpAddress>& ListenAddress() const { return FListenAddress; }
  void SetAllowList(TAllowList Allow) { FAllow = std::move(Allow); }
  const TAllowList& AllowList() const { return FAllow; }

  std::uint16_t LocalPort() const { return FLocalPort; }
  void SetLocalPort(std::uint16_t Port) { FLocalPort = Port; }  // used by the next Enable
  // The port actually listened on (LocalPort 0 picks a free one); 0 when not enabled.
  std::uint16_t BoundPort() const { return FBoundPort.load(); }
  // How many clients are connected now.
  std::size_t ClientCount();
  // Why the last Enable failed; empty after one that succeeded.
  std::error_code EnableError() const { return FEnableError; }

  // Queues one frame for connection ID. An ID above 500 raises OnError(ID, "ID too
  // big") later on the io thread; a free ID is ignored. A client whose queue would pass
  // MAX_SEND_QUEUE is dropped: OnError(ID, "Not all bytes sended"), then OnDisconnect.
  void SendData(std::uint16_t ID, const ShortStr& Data) override;
  // Counts a wrong set password against the remote address of ID. Past the free ones,
  // the connection is held for a wait that grows with the address's count and follows
  // the address's earlier waits: its answers stay queued and its requests unread until
  // then. Logged at most once a minute per address.
  void WrongPassword(std::uint16_t ID) override;
  // The first wait after the free wrong passwords (for tests; doubling as above).
  void SetFirstPasswordWait(std::chrono::milliseconds Wait) { FFirstPasswordWait = Wait; }

  TNotifyWord OnConnect;
  TNotifyString OnDataIn;
  TNotifyWord OnDisconnect;
  TNotifyIntStr OnError;
  TNotifyWord OnReadyToSend;  // not raised: SendData queues, so nobody waits for room

 private:
  class TConnection;
  struct TLoop;
  using TConnPtr = std::shared_ptr<TConnection>;

  void EnableFailed(std::int32_t Err, const char* Txt, const std::error_code& Cause);
  // Every failure is written to the log, with what is known of its cause, and raised.
  void ReportError(std::int32_t Err, const char* Txt, std::string_view Detail = {});
  void RunLoop();
  void StartAccept();
  void Accepted(const std::error_code& Ec, const TConnPtr& Conn);
  void RetryAccept();
  void Admit(const TConnPtr& Conn);
  std::size_t ConnectionsFrom(const TConnection& Conn);  // under FMutex
  void LogRefusal(const TConnection& Conn);
  void LogDenied(const TConnection& Conn);
  void StartRead(const TConnPtr& Conn);
  void ReadDone(const TConnPtr& Conn, const std::error_code& Ec, std::size_t Count);
  void StartWrite(const TConnPtr& Conn);
  void WriteDone(const TConnPtr& Conn, const std::error_code& Ec);
  void PeerGone(const TConnPtr& Conn, bool Ended = false);
  void Drain(const TConnPtr& Conn);
  void Drained(const TConnPtr& Conn);
  bool IsHeld(const TConnPtr& Conn);
  void ArmHold(const TConnPtr& Conn);
  void HoldEnds(const TConnPtr& Conn);
  void Deliver(const TConnPtr& Conn, std::span<const std::uint8_t> In);
  void ReadMore(const TConnPtr& Conn);
  // Under FMutex: when the next wait of Host ends, if it must wait; Log gets a line.
  std::optional<std::chrono::steady_clock::time_point> NextWaitEnd(const std::string& Host,
                                                                   std::string& Log);
  void DropOverflowed(const TConnPtr& Conn);
  void Release(const TConnPtr& Conn);
  void CloseAll();
  bool OnIoThread() const;
  void SetPosting(bool On);
  template <class F>
  void PostLocked(F&& f);

  std::atomic<bool> FEnabled{false};
  std::uint16_t FLocalPort = DEFAULT_LOCAL_PORT;
  std::optional<TIpAddress> FListenAddress;
  TAllowList FAllow;
  std::size_t FMaxPerAddress = MAX_PER_ADDRESS;
  std::atomic<std::uint16_t> FBoundPort{0};
  std::error_code FEnableError;
  std::unique_ptr<TLoop> FLoop;  // the event loop, listener and io thread while enabled

  // Guards FEntry, FPosting and every connection's outgoing queue.
  std::mutex FMutex;
  std::array<TConnPtr, MAX_ENTRIES> FEntry;  // FEntry[ID - 1]; empty = free
  bool FPosting = false;                     // the loop takes work from other threads

  // Refusals per remote address since its last log line; io thread only.
  struct TRefusals {
    std::chrono::steady_clock::time_point Logged;
    std::size_t Unlogged = 0;
  };
  std::map<std::string, TRefusals> FRefused;
  std::map<std::string, TRefusals> FDenied;  // the same for addresses not allowed
  // The count to log for one more refusal of host, 0 while its minute is not over.
  static std::size_t Tally(std::map<std::string, TRefusals>& Log, const std::string& Host);

  // Wrong set passwords per remote address; guarded by FMutex.
  struct TWrongPasswords {
    unsigned Count = 0;
    std::chrono::steady_clock::time_point Last;      // the latest wrong password
    std::chrono::steady_clock::time_point WaitEnds;  // end of the address's latest wait
    std::optional<std::chrono::steady_clock::time_point> Logged;
  };
  std::map<std::string, TWrongPasswords> FWrong;
  std::chrono::milliseconds FFirstPasswordWait = FIRST_PASSWORD_WAIT;
};

}  // namespace kassiro
