// ecrclient's connection to the server. One I/O thread owns the socket: it reads and
// prints every message the moment it arrives and performs the writes that the script
// (on the caller's thread) hands it; received messages wait in a list until an expect
// claims them.
#pragma once

#include <asio.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ecrclient/Transcript.h"
#include "ecrclient/Wire.h"

namespace kassiro::client {

class TClientConnection {
 public:
  using TClock = std::chrono::steady_clock;
  enum class TWait { Matched, TimedOut, Closed };

  explicit TClientConnection(TTranscript& transcript);
  ~TClientConnection();
  TClientConnection(const TClientConnection&) = delete;
  TClientConnection& operator=(const TClientConnection&) = delete;

  // Connects and starts the I/O thread; on failure returns why.
  std::optional<std::string> Connect(const std::string& host, std::uint16_t port,
                                     std::chrono::milliseconds timeout);
  // Writes bytes as they are and waits until they are written; announce runs on the I/O
  // thread just before the write, so a sent line always precedes its answer.
  std::optional<std::string> Send(std::string bytes, const std::function<void()>& announce);
  // Waits until a received message that no expect has claimed yet satisfies match, and
  // claims it (the oldest one, if several do).
  TWait WaitFor(const std::function<bool(const TMessage&)>& match, TClock::time_point deadline);
  // Waits until the deadline, or until the server closes the connection.
  void Linger(TClock::time_point deadline);
  // Closes the connection and ends the I/O thread; nothing is reported for it.
  void Close();

 private:
  static constexpr std::size_t MAX_UNCLAIMED = 10000;

  void StartRead();
  void OnMessage(std::string_view message);
  void OnClosed(const asio::error_code& ec);

  TTranscript& transcript_;
  asio::io_context io_;
  asio::ip::tcp::socket socket_{io_};
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread thread_;
  std::array<char, 512> buffer_{};
  TFrameReader reader_;
  bool closing_ = false;  // I/O thread only: we close, so the end is no news

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TMessage> unclaimed_;
  bool closed_ = false;
};

}  // namespace kassiro::client
