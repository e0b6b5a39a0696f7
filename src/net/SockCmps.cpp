#include "net/SockCmps.h"

#include <algorithm>

#include <asio.hpp>
#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/LogFile.h"

namespace kassiro {
namespace {

using asio::ip::tcp;

// After a failed accept (no descriptors left, say) the listener waits this long before
// it tries again, so a lasting shortage doesn't spin the loop.
constexpr auto ACCEPT_RETRY = std::chrono::milliseconds(100);

// Refusals of one address are logged at most this often; the line counts the others.
constexpr auto REFUSAL_LOG_INTERVAL = std::chrono::minutes(1);

// The remote host: an IPv4 peer seen through an IPv6 listener counts as itself.
asio::ip::address HostOf(const tcp::endpoint& Peer) {
  const auto a = Peer.address();
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  return a;
}

TIpAddress IpOf(const asio::ip::address& A) {
  TIpAddress a;
  if (A.is_v4()) {
    const auto b = A.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), a.Bytes.begin());
  } else {
    const auto b = A.to_v6().to_bytes();
    std::copy(b.begin(), b.end(), a.Bytes.begin());
    a.V6 = true;
  }
  return a;
}

asio::ip::address AddressOf(const TIpAddress& A) {
  if (!A.V6) return asio::ip::address_v4({A.Bytes[0], A.Bytes[1], A.Bytes[2], A.Bytes[3]});
  return asio::ip::address_v6(A.Bytes);
}

std::string PeerText(const tcp::endpoint& Peer) {
  return Peer.address().to_string() + ":" + std::to_string(Peer.port());
}

// Runs an event handler. Whatever it throws is logged and stops there: one faulty
// handler must not end the loop that serves every client.
template <class Handler, class... Args>
void Raise(const Handler& H, Args&&... A) {
  if (!H) return;
  try {
    H(std::forward<Args>(A)...);
  } catch (const std::exception& e) {
    LogAddExceptionLine("TSockServer event", e, "");
  } catch (...) {
    LogAddLine("TCP server: an event handler threw an unknown exception");
  }
}

}  // namespace

// One client: socket, peer address, read buffer with the message begun, write queue.
// Handlers of pending operations hold a shared_ptr to it, so it lives exactly as long as
// the table or an operation needs it.
class TSockServer::TConnection {
 public:
  explicit TConnection(asio::io_context& Io) : Socket(Io), HoldTimer(Io) {}

  // Used on the io thread only.
  tcp::socket Socket;
  tcp::endpoint Peer;
  std::uint16_t ID = 0;
  bool Closed = false;  // closed by the server; late completions are ignored
  std::array<std::uint8_t, BUFF_SIZE> ReadBuf{};
  TFrameReader Reader;
  bool Reading = false;          // a read is in flight
  asio::steady_timer HoldTimer;  // ends a hold after wrong passwords

  // Guarded by the server's FMutex. Two buffers swapped when a write completes, so a
  // connection in steady state allocates nothing.
  std::vector<std::uint8_t> Pending;   // frames queued, not yet handed to the socket
  std::vector<std::uint8_t> InFlight;  // frames being written
  bool Writing = false;                // a write is in flight or about to start
  bool Dropping = false;               // the queue overflowed; the drop is on its way
  bool Held = false;                   // answers wait and requests stay unread until HeldUntil
  bool Draining = false;               // the client ended its side; what is queued goes out
  std::chrono::steady_clock::time_point HeldUntil;
};

struct TSockServer::TLoop {
  asio::io_context Io{1};
  tcp::acceptor Acceptor{Io};
  asio::steady_timer Retry{Io};
  std::thread Thread;
};

TSockServer::TSockServer() = default;

TSockServer::~TSockServer() { Disable(); }

bool TSockServer::OnIoThread() const {
  return FLoop && FLoop->Io.get_executor().running_in_this_thread();
}

void TSockServer::SetPosting(bool On) {
  std::lock_guard lock(FMutex);
  FPosting = On;
}

template <class F>
void TSockServer::PostLocked(F&& f) {
  if (FPosting) asio::post(FLoop->Io, std::forward<F>(f));
}

// Enable ---------------------------------------------------------------------------

void TSockServer::Enable() {
  if (FEnabled || OnIoThread()) return;
  if (FLoop && FLoop->Thread.joinable()) FLoop->Thread.join();  // after a Disable from a handler
  FLoop.reset();
  FEnableError.clear();
  try {
    FLoop = std::make_unique<TLoop>();
  } catch (const std::system_error& e) {
    EnableFailed(e.code().value(), "WSAStartUp", e.code());
    return;
  }
  // Each socket call that fails reports its return value, -1, as the error code.
  auto& acc = FLoop->Acceptor;
  std::error_code ec;
  const tcp::endpoint local = FListenAddress ? tcp::endpoint(AddressOf(*FListenAddress), FLocalPort)
                                             : tcp::endpoint(tcp::v4(), FLocalPort);
  if (acc.open(local.protocol(), ec); ec) return EnableFailed(-1, "Unable to create socket", ec);
  if (acc.set_option(tcp::no_delay(true), ec); ec)
    return EnableFailed(-1, "Seting socket NODELAY", ec);
  if (acc.set_option(asio::socket_base::keep_alive(true), ec); ec)
    return EnableFailed(-1, "Seting Socket KEEPALIVE", ec);
  if (acc.set_option(asio::socket_base::reuse_address(true), ec); !ec)
    acc.bind(local, ec);
  if (ec) return EnableFailed(-1, "Binding socket and address", ec);
  if (acc.listen(asio::socket_base::max_listen_connections, ec); ec)
    return EnableFailed(-1, "Seting socket to listen", ec);
  const auto bound = acc.local_endpoint(ec).port();

  SetPosting(true);
  StartAccept();
  try {
    FLoop->Thread = std::thread([this] { RunLoop(); });
  } catch (const std::system_error& e) {
    SetPosting(false);
    return EnableFailed(e.code().value(), "AsynchSelect:FD_ACCEPT", e.code());
  }
  FBoundPort = bound;
  FEnabled = true;
}

std::size_t TSockServer::ClientCount() {
  const std::lock_guard lock(FMutex);
  return static_cast<std::size_t>(std::count_if(FEntry.begin(), FEntry.end(),
                                                [](const TConnPtr& c) { return c != nullptr; }));
}

void TSockServer::EnableFailed(std::int32_t Err, const char* Txt, const std::error_code& Cause) {
  FLoop.reset();  // closes whatever was opened
  FEnableError = Cause;
  const std::string where = FListenAddress ? " of " + IpText(*FListenAddress) : "";
  ReportError(Err, Txt, " failed on port " + std::to_string(FLocalPort) + where + ": " + Cause.message());
}

void TSockServer::ReportError(std::int32_t Err, const char* Txt, std::string_view Detail) {
  std::string line = "TCP server: " + std::string(Txt);
  if (Detail.empty()) line.append(" (").append(std::to_string(Err)).append(")");
  LogAddLine(line.append(Detail));
  Raise(OnError, *this, Err, ShortStr(Txt));
}

void TSockServer::RunLoop() {
  for (;;) {
    try {
      FLoop->Io.run();
      return;
    } catch (const std::exception& e) {  // run() may be entered again after a throw
      LogAddExceptionLine("TSockServer::RunLoop", e, "");
    }
  }
}

// Disable --------------------------------------------------------------------------

void TSockServer::Disable() {
  if (OnIoThread()) {
    if (FEnabled.exchange(false)) CloseAll();
    FBoundPort = 0;
    return;
  }
  if (FLoop && FLoop->Thread.joinable()) {
    asio::post(FLoop->Io, [this] { CloseAll(); });
    FLoop->Thread.join();
  }
  {
    std::lock_guard lock(FMutex);
    FPosting = false;
    FEntry = {};  // normally emptied by CloseAll already
  }
  FLoop.reset();  // drops the handlers still queued and the connections they hold
  FEnabled = false;
  FBoundPort = 0;
}

// On the io thread: closes the listener and every connection, frees every identifier and
// stops the loop. No event is raised.
void TSockServer::CloseAll() {
  std::error_code ec;
  FLoop->Acceptor.close(ec);
  FLoop->Retry.cancel();
  {
    std::lock_guard lock(FMutex);
    FPosting = false;
    for (auto& conn : FEntry) {
      if (!conn) continue;
      conn->Closed = true;
      conn->Socket.close(ec);
      conn->HoldTimer.cancel();
      conn.reset();
    }
  }
  FLoop->Io.stop();
}

// Accepting ------------------------------------------------------------------------

void TSockServer::StartAccept() {
  auto conn = std::make_shared<TConnection>(FLoop->Io);
  FLoop->Acceptor.async_accept(conn->Socket, conn->Peer,
                               [this, conn](const std::error_code& ec) { Accepted(ec, conn); });
}

void TSockServer::Accepted(const std::error_code& Ec, const TConnPtr& Conn) {
  if (!FLoop->Acceptor.is_open()) return;  // closed by Disable
  if (Ec) {
    ReportError(Ec.value(), "Accepting invalid socket", ": " + Ec.message());
    RetryAccept();
    return;
  }
  Admit(Conn);
  if (FLoop->Acceptor.is_open()) StartAccept();
}

void TSockServer::RetryAccept() {
  FLoop->Retry.expires_after(ACCEPT_RETRY);
  FLoop->Retry.async_wait([this](const std::error_code& ec) {
    if (!ec && FLoop->Acceptor.is_open()) StartAccept();
  });
}

void TSockServer::Admit(const TConnPtr& Conn) {
  std::error_code ec;
  if (!FAllow.Allows(IpOf(HostOf(Conn->Peer)))) {
    LogDenied(*Conn);
    Conn->Socket.close(ec);
    return;
  }
  if (Conn->Socket.set_option(tcp::no_delay(true), ec); ec)
    ReportError(ec.value(), "Seting socket NODELAY", ": " + ec.message());
  if (Conn->Socket.set_option(asio::socket_base::keep_alive(true), ec); ec)
    ReportError(ec.value(), "Seting Socket KEEPALIVE", ": " + ec.message());
  bool full = false;
  bool crowded = false;
  {
    std::lock_guard lock(FMutex);
    const auto free = std::find(FEntry.begin(), FEntry.end(), nullptr);
    full = free == FEntry.end();
    crowded = ConnectionsFrom(*Conn) >= FMaxPerAddress;
    if (FPosting && !full && !crowded) {  // not disabled by an error handler above
      *free = Conn;
      Conn->ID = static_cast<std::uint16_t>(free - FEntry.begin() + 1);
    }
  }
  if (Conn->ID == 0) {
    if (crowded && !full) LogRefusal(*Conn);
    else if (full)
      LogAddLine("TCP server: connection from " + PeerText(Conn->Peer) +
                 " refused: all 500 client identifiers are in use");
    Conn->Socket.close(ec);
    return;
  }
  Raise(OnConnect, *this, Conn->ID);
  if (!Conn->Closed) StartRead(Conn);
}

std::size_t TSockServer::ConnectionsFrom(const TConnection& Conn) {
  const auto host = HostOf(Conn.Peer);
  return static_cast<std::size_t>(std::count_if(FEntry.begin(), FEntry.end(), [&](const TConnPtr& c) {
    return c != nullptr && HostOf(c->Peer) == host;
  }));
}

std::size_t TSockServer::Tally(std::map<std::string, TRefusals>& Log, const std::string& Host) {
  const auto now = std::chrono::steady_clock::now();
  // Addresses quiet for a minute are forgotten, so the table stays small.
  std::erase_if(Log, [&](const auto& r) {
    return r.second.Unlogged == 0 && now - r.second.Logged >= REFUSAL_LOG_INTERVAL;
  });
  auto [it, first] = Log.try_emplace(Host);
  ++it->second.Unlogged;
  if (!first && now - it->second.Logged < REFUSAL_LOG_INTERVAL) return 0;
  const std::size_t count = it->second.Unlogged;
  it->second = {now, 0};
  return count;
}

// One line per address and minute, however many connections it tries.
void TSockServer::LogRefusal(const TConnection& Conn) {
  const std::string host = HostOf(Conn.Peer).to_string();
  if (const auto n = Tally(FRefused, host); n > 0)
    LogAddLine("TCP server: refused " + std::to_string(n) + " connection(s) from " + host +
               ": it already holds " + std::to_string(FMaxPerAddress) + " connections");
}

void TSockServer::LogDenied(const TConnection& Conn) {
  const std::string host = HostOf(Conn.Peer).to_string();
  if (const auto n = Tally(FDenied, host); n > 0)
    LogAddLine("TCP server: refused " + std::to_string(n) + " connection(s) from " + host +
               ": the address is not in the allow list " + FAllow.Text());
}

// Receiving ------------------------------------------------------------------------

void TSockServer::StartRead(const TConnPtr& Conn) {
  Conn->Reading = true;
  Conn->Socket.async_read_some(
      asio::buffer(Conn->ReadBuf),
      [this, Conn](const std::error_code& ec, std::size_t n) { ReadDone(Conn, ec, n); });
}

void TSockServer::ReadDone(const TConnPtr& Conn, const std::error_code& Ec, std::size_t Count) {
  Conn->Reading = false;
  if (Conn->Closed) return;
  if (Ec) {  // end of stream or a failed connection
    PeerGone(Conn, Ec == asio::error::eof);
    return;
  }
  const std::span in(Conn->ReadBuf.data(), Count);
  if (IsHeld(Conn)) Conn->Reader.Keep(in);
  else Deliver(Conn, in);
  ReadMore(Conn);
}

// Raises OnDataIn for every complete message until the connection is held or closed.
void TSockServer::Deliver(const TConnPtr& Conn, std::span<const std::uint8_t> In) {
  Conn->Reader.Feed(In, [&](const ShortStr& Msg) {
    Raise(OnDataIn, *this, Conn->ID, Msg);
    return !Conn->Closed && !IsHeld(Conn);  // a handler may have disabled the server
  });
}

// Reading goes on while a connection is held, so a client that leaves is noticed at
// once, but only until MAX_KEPT_INPUT bytes wait.
void TSockServer::ReadMore(const TConnPtr& Conn) {
  if (!Conn->Closed && !Conn->Reading && Conn->Reader.Kept() < MAX_KEPT_INPUT) StartRead(Conn);
}

// The client went away (or its connection failed): report a message it left unfinished,
// then OnDisconnect while the identifier is still its own, then free the entry. A client
// that Ended its side cleanly still reads: it gets what was queued for it before.
void TSockServer::PeerGone(const TConnPtr& Conn, bool Ended) {
  if (const auto missing = Conn->Reader.Missing(); missing > 0) {
    ReportError(static_cast<std::int32_t>(missing + 1), "Bytes Missing",
                ": client " + std::to_string(Conn->ID) + " left a message unfinished");
    if (Conn->Closed) return;
  }
  // Requests held back after wrong passwords are not served for a client that is gone.
  if (const auto kept = Conn->Reader.Kept(); kept > 0) {
    LogAddLine("TCP server: client " + std::to_string(Conn->ID) + " (" + PeerText(Conn->Peer) +
               ") left while held; " + std::to_string(kept) + " unread byte(s) dropped");
    Conn->Reader.DropKept();
  }
  Raise(OnDisconnect, *this, Conn->ID);
  if (Conn->Closed) return;
  if (Ended) Drain(Conn);
  else Release(Conn);
}

// The identifier is free at once; the frames queued while the client still held its
// sets (a report handed to it just before its end was seen) are written out, within
// DRAIN_TIME, and then the connection is closed. A held connection's answers are not
// given early this way: it is closed at once as before.
void TSockServer::Drain(const TConnPtr& Conn) {
  bool write = false;
  {
    std::lock_guard lock(FMutex);
    if (FEntry[Conn->ID - 1] == Conn) FEntry[Conn->ID - 1].reset();
    if (Conn->Held || Conn->Dropping || (!Conn->Writing && Conn->Pending.empty())) {
      Conn->Closed = true;
    } else {
      Conn->Draining = true;
      write = !Conn->Writing;
      Conn->Writing = true;
    }
  }
  if (Conn->Closed) {
    Drained(Conn);
    return;
  }
  Conn->HoldTimer.expires_after(DRAIN_TIME);
  Conn->HoldTimer.async_wait([this, Conn](const std::error_code& ec) {
    if (!ec && !Conn->Closed) Drained(Conn);
  });
  if (write) StartWrite(Conn);
}

void TSockServer::Drained(const TConnPtr& Conn) {
  Conn->Closed = true;
  std::error_code ec;
  Conn->Socket.close(ec);
  Conn->HoldTimer.cancel();
}

void TSockServer::Release(const TConnPtr& Conn) {
  Conn->Closed = true;
  std::error_code ec;
  Conn->Socket.close(ec);
  Conn->HoldTimer.cancel();
  std::lock_guard lock(FMutex);
  if (FEntry[Conn->ID - 1] == Conn) FEntry[Conn->ID - 1].reset();
}

// Sending --------------------------------------------------------------------------

void TSockServer::SendData(std::uint16_t ID, const ShortStr& Data) {
  std::lock_guard lock(FMutex);
  if (ID > MAX_ENTRIES) {
    PostLocked([this, ID] { ReportError(std::int32_t{ID}, "ID too big"); });
    return;
  }
  if (ID == 0) return;
  const TConnPtr& conn = FEntry[ID - 1];
  if (!conn || conn->Dropping) return;
  if (conn->Pending.size() + conn->InFlight.size() + 1 + Data.size() > MAX_SEND_QUEUE) {
    conn->Dropping = true;
    PostLocked([this, conn] { DropOverflowed(conn); });
    return;
  }
  conn->Pending.push_back(static_cast<std::uint8_t>(Data.size()));
  conn->Pending.insert(conn->Pending.end(), Data.begin(), Data.end());
  if (!conn->Writing && !conn->Held) {
    conn->Writing = true;
    PostLocked([this, conn] { StartWrite(conn); });
  }
}

void TSockServer::StartWrite(const TConnPtr& Conn) {
  if (Conn->Closed) return;
  {
    std::lock_guard lock(FMutex);
    Conn->InFlight.swap(Conn->Pending);  // InFlight is empty here
  }
  asio::async_write(Conn->Socket, asio::buffer(Conn->InFlight),
                    [this, Conn](const std::error_code& ec, std::size_t) { WriteDone(Conn, ec); });
}

void TSockServer::WriteDone(const TConnPtr& Conn, const std::error_code& Ec) {
  if (Conn->Closed) return;
  if (Ec) {
    if (Conn->Draining) Drained(Conn);
    else PeerGone(Conn);
    return;
  }
  {
    std::lock_guard lock(FMutex);
    Conn->InFlight.clear();
    if (Conn->Pending.empty() || Conn->Held) {  // HoldEnds starts the rest
      Conn->Writing = false;
      if (!Conn->Draining) return;
    }
  }
  if (Conn->Draining && !Conn->Writing) {
    Drained(Conn);
    return;
  }
  StartWrite(Conn);
}

// A client that let its queue overflow is dropped like one that went away, so whoever
// holds things for it releases them.
void TSockServer::DropOverflowed(const TConnPtr& Conn) {
  if (Conn->Closed) return;
  ReportError(std::int32_t{Conn->ID}, "Not all bytes sended",
              ": client " + std::to_string(Conn->ID) + " (" + PeerText(Conn->Peer) +
                  ") dropped: it took no data while " + std::to_string(MAX_SEND_QUEUE) +
                  " bytes waited to be sent");
  if (Conn->Closed) return;
  Raise(OnDisconnect, *this, Conn->ID);
  if (!Conn->Closed) Release(Conn);
}

// Wrong passwords ------------------------------------------------------------------

void TSockServer::WrongPassword(std::uint16_t ID) {
  std::string log;
  {
    std::lock_guard lock(FMutex);
    if (ID == 0 || ID > MAX_ENTRIES) return;
    const TConnPtr& conn = FEntry[ID - 1];
    if (!conn) return;
    const auto ends = NextWaitEnd(HostOf(conn->Peer).to_string(), log);
    if (ends) {
      conn->HeldUntil = std::max(conn->HeldUntil, *ends);
      conn->Held = true;
      PostLocked([this, conn] { ArmHold(conn); });
    }
  }
  if (!log.empty()) LogAddLine(log);
}

std::optional<std::chrono::steady_clock::time_point> TSockServer::NextWaitEnd(
    const std::string& Host, std::string& Log) {
  const auto now = std::chrono::steady_clock::now();
  auto it = FWrong.find(Host);
  if (it == FWrong.end()) {
    std::erase_if(FWrong, [&](const auto& w) { return now - w.second.Last >= WRONG_PASSWORD_MEMORY; });
    if (FWrong.size() >= MAX_WRONG_PASSWORD_HOSTS) {
      FWrong.erase(std::min_element(FWrong.begin(), FWrong.end(), [](const auto& a, const auto& b) {
        return a.second.Last < b.second.Last;
      }));
    }
    it = FWrong.emplace(Host, TWrongPasswords{}).first;
  } else if (now - it->second.Last >= WRONG_PASSWORD_MEMORY) {
    it->second = {};
  }
  TWrongPasswords& w = it->second;
  w.Last = now;
  if (++w.Count <= FREE_WRONG_PASSWORDS) return std::nullopt;
  // A right password does not reset the count: the default empty passwords would let
  // anybody reset it at will.
  const unsigned doublings = std::min(w.Count - FREE_WRONG_PASSWORDS - 1, 16u);
  const auto wait = std::min<std::chrono::milliseconds>(FFirstPasswordWait * (1u << doublings),
                                                        std::max(LONGEST_PASSWORD_WAIT, FFirstPasswordWait));
  // The waits of one address follow one another, so more connections gain no guesses.
  w.WaitEnds = std::max(now, w.WaitEnds) + wait;
  if (!w.Logged || now - *w.Logged >= REFUSAL_LOG_INTERVAL) {
    w.Logged = now;
    const auto ms = wait.count();
    Log = "TCP server: " + std::to_string(w.Count) + " wrong set password(s) from " + Host +
          "; its answers now wait " +
          (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
  }
  return w.WaitEnds;
}

bool TSockServer::IsHeld(const TConnPtr& Conn) {
  std::lock_guard lock(FMutex);
  return Conn->Held;
}

void TSockServer::ArmHold(const TConnPtr& Conn) {
  if (Conn->Closed) return;
  std::chrono::steady_clock::time_point until;
  {
    std::lock_guard lock(FMutex);
    until = Conn->HeldUntil;
  }
  Conn->HoldTimer.expires_at(until);  // a later end replaces the earlier one
  Conn->HoldTimer.async_wait([this, Conn](const std::error_code& ec) {
    if (!ec && !Conn->Closed) HoldEnds(Conn);
  });
}

// Sends the answers that waited, then serves the requests that waited, in order.
void TSockServer::HoldEnds(const TConnPtr& Conn) {
  bool write = false;
  {
    std::lock_guard lock(FMutex);
    if (!Conn->Held) return;
    if (std::chrono::steady_clock::now() < Conn->HeldUntil) {
      asio::post(FLoop->Io, [this, Conn] { ArmHold(Conn); });
      return;
    }
    Conn->Held = false;
    write = !Conn->Writing && !Conn->Pending.empty();
    Conn->Writing = Conn->Writing || write;
  }
  if (write) StartWrite(Conn);
  Deliver(Conn, {});
  ReadMore(Conn);
}

}  // namespace kassiro
