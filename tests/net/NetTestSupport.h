// Helpers of the TCP server's tests: a blocking loopback client whose every wait has a
// deadline, and a recorder of the server's events that tests wait on.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TcpClient.h"
#include "net/SockCmps.h"

namespace kassiro::nettest {

using Clock = std::chrono::steady_clock;
// Generous: the waits end as soon as the awaited thing happens.
inline constexpr auto WAIT = std::chrono::seconds(20);

inline std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

class TTestClient {
 public:
  // Connects to the loopback port. RcvBuf > 0 shrinks the receive buffer first, for a
  // client meant to fall behind.
  explicit TTestClient(std::uint16_t Port, int RcvBuf = 0, const char* From = nullptr)
      : fd_(kassiro::testing::ConnectLoopback(Port, RcvBuf, From)) {}
  ~TTestClient() { Close(); }
  TTestClient(const TTestClient&) = delete;
  TTestClient& operator=(const TTestClient&) = delete;

  bool Connected() const { return fd_ >= 0; }

  bool Send(std::string_view b) { return kassiro::testing::SendAll(fd_, b); }

  // Waits until the peer has acknowledged everything sent (the send queue is empty).
  bool WaitFlushed() { return kassiro::testing::WaitAcknowledged(fd_, WAIT); }

  // Exactly n bytes, or nothing if they don't come before the deadline.
  std::optional<std::string> Read(std::size_t n) {
    const auto until = Clock::now() + WAIT;
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      if (!WaitReadable(until)) return std::nullopt;
      const auto r = ::recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) return std::nullopt;
      got += static_cast<std::size_t>(r);
    }
    return out;
  }

  // One message without its length byte.
  std::optional<std::string> ReadMessage() {
    const auto len = Read(1);
    if (!len) return std::nullopt;
    return Read(static_cast<std::uint8_t>((*len)[0]));
  }

  // Reads and drops whatever arrives until the server closes the connection.
  bool WaitClosed() {
    const auto until = Clock::now() + WAIT;
    char buf[4096];
    for (;;) {
      if (!WaitReadable(until)) return false;
      if (::recv(fd_, buf, sizeof buf, 0) <= 0) return true;
    }
  }

  // No byte waits to be read right now.
  bool NothingToRead() {
    char c;
    return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
  }

  // Ends this side of the connection; the client can still read.
  void EndSending() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  bool WaitReadable(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(left.count())) == 1;
  }

  int fd_ = -1;
};

struct TEvent {
  enum TKind { Connect, DataIn, Disconnect, Error } Kind;
  std::int32_t Value;  // the ID, or Err for an error
  std::string Data;    // the message, or the error text
  std::thread::id Thread;
  bool operator==(const TEvent& o) const {
    return Kind == o.Kind && Value == o.Value && Data == o.Data;
  }
};

inline void PrintTo(const TEvent& e, std::ostream* os) {
  static constexpr const char* kNames[] = {"Connect", "DataIn", "Disconnect", "Error"};
  *os << kNames[e.Kind] << "(" << e.Value;
  if (!e.Data.empty()) {
    *os << ", \"";
    for (unsigned char c : e.Data) {
      if (c >= 0x20 && c < 0x7F)
        *os << c;
      else
        *os << "\\x" << std::hex << int{c} << std::dec;
    }
    *os << "\"";
  }
  *os << ")";
}

inline TEvent ConnectEv(int id) { return {TEvent::Connect, id, {}, {}}; }
inline TEvent DataEv(int id, std::string d) { return {TEvent::DataIn, id, std::move(d), {}}; }
inline TEvent DisconnectEv(int id) { return {TEvent::Disconnect, id, {}, {}}; }
inline TEvent ErrorEv(int err, std::string txt) { return {TEvent::Error, err, std::move(txt), {}}; }

// Keeps every event of a server in order, and lets a test wait for what it expects.
class TRecorder {
 public:
  void Attach(TSockServer& S) {
    S.OnConnect = [this](TSockServer&, std::uint16_t id) { Add(ConnectEv(id)); };
    S.OnDataIn = [this](TSockServer&, std::uint16_t id, const ShortStr& d) {
      Add(DataEv(id, d.str()));
    };
    S.OnDisconnect = [this](TSockServer&, std::uint16_t id) { Add(DisconnectEv(id)); };
    S.OnError = [this](TSockServer&, std::int32_t err, const ShortStr& txt) {
      Add(ErrorEv(err, txt.str()));
    };
  }

  void Add(TEvent e) {
    e.Thread = std::this_thread::get_id();
    {
      std::lock_guard lock(mu_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }

  // Waits until pred(events) holds; false after the deadline.
  bool WaitFor(const std::function<bool(const std::vector<TEvent>&)>& pred) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, WAIT, [&] { return pred(events_); });
  }
  bool WaitFor(const TEvent& e) {
    return WaitFor([&](const auto& ev) { return std::find(ev.begin(), ev.end(), e) != ev.end(); });
  }
  bool WaitCount(TEvent::TKind k, std::size_t n) {
    return WaitFor([&](const auto& ev) { return Count(ev, k) >= n; });
  }
  // Waits for the n-th (1-based) event of kind k and returns its value.
  std::optional<std::int32_t> WaitNth(TEvent::TKind k, std::size_t n) {
    if (!WaitCount(k, n)) return std::nullopt;
    std::lock_guard lock(mu_);
    for (const auto& e : events_)
      if (e.Kind == k && --n == 0) return e.Value;
    return std::nullopt;
  }

  std::vector<TEvent> Events() {
    std::lock_guard lock(mu_);
    return events_;
  }
  std::vector<TEvent> Of(TEvent::TKind k) {
    std::vector<TEvent> out;
    for (auto& e : Events())
      if (e.Kind == k) out.push_back(e);
    return out;
  }
  bool Has(const TEvent& e) {
    const auto ev = Events();
    return std::find(ev.begin(), ev.end(), e) != ev.end();
  }

  static std::size_t Count(const std::vector<TEvent>& ev, TEvent::TKind k) {
    return static_cast<std::size_t>(
        std::count_if(ev.begin(), ev.end(), [k](const TEvent& e) { return e.Kind == k; }));
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<TEvent> events_;
};

}  // namespace kassiro::nettest
