#include "ecrclient/ClientConnection.h"

#include <algorithm>
#include <future>

namespace kassiro::client {

using asio::ip::tcp;

TClientConnection::TClientConnection(TTranscript& transcript) : transcript_(transcript) {}

TClientConnection::~TClientConnection() { Close(); }

std::optional<std::string> TClientConnection::Connect(const std::string& host, std::uint16_t port,
                                                      std::chrono::milliseconds timeout) {
  const std::string where = host + ":" + std::to_string(port);
  asio::error_code ec;
  tcp::resolver resolver(io_);
  const auto endpoints = resolver.resolve(host, std::to_string(port), ec);
  if (ec) return "cannot resolve " + host + ": " + ec.message();

  asio::error_code result = asio::error::timed_out;
  asio::steady_timer timer(io_, timeout);
  asio::async_connect(socket_, endpoints, [&](const asio::error_code& e, const tcp::endpoint&) {
    result = e;
    timer.cancel();
  });
  timer.async_wait([&](const asio::error_code& e) {
    if (!e) socket_.close();  // the connect then ends with operation_aborted
  });
  io_.run();
  io_.restart();
  if (result == asio::error::operation_aborted) result = asio::error::timed_out;
  if (result) {
    socket_.close(ec);
    return "cannot connect to " + where + ": " + result.message();
  }

  socket_.set_option(tcp::no_delay(true), ec);
  StartRead();
  work_.emplace(asio::make_work_guard(io_));
  thread_ = std::thread([this] { io_.run(); });
  return std::nullopt;
}

void TClientConnection::StartRead() {
  socket_.async_read_some(asio::buffer(buffer_), [this](const asio::error_code& ec, std::size_t n) {
    if (ec) {
      OnClosed(ec);
      return;
    }
    reader_.Feed(std::string_view(buffer_.data(), n),
                    [this](std::string_view message) { OnMessage(message); });
    StartRead();
  });
}

void TClientConnection::OnMessage(std::string_view message) {
  transcript_.Received(message);
  {
    const std::lock_guard lock(mutex_);
    unclaimed_.push_back(Decode(message));
    if (unclaimed_.size() > MAX_UNCLAIMED) unclaimed_.pop_front();  // nobody expects that old
  }
  changed_.notify_all();
}

void TClientConnection::OnClosed(const asio::error_code& ec) {
  if (!closing_) {
    if (ec == asio::error::eof) {
      transcript_.Problem(reader_.Missing() == 0
                              ? "the server closed the connection"
                              : "the server closed the connection in the middle of a message");
    } else {
      transcript_.Problem("connection lost: " + ec.message());
    }
  }
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

std::optional<std::string> TClientConnection::Send(std::string bytes,
                                                   const std::function<void()>& announce) {
  {
    const std::lock_guard lock(mutex_);
    if (closed_ || !thread_.joinable()) return "not sent: the connection is closed";
  }
  std::promise<asio::error_code> written;
  auto done = written.get_future();
  asio::post(io_, [&] {
    announce();
    asio::async_write(socket_, asio::buffer(bytes),
                      [&written](const asio::error_code& ec, std::size_t) { written.set_value(ec); });
  });
  if (const asio::error_code ec = done.get()) return "not sent: " + ec.message();
  return std::nullopt;
}

TClientConnection::TWait TClientConnection::WaitFor(
    const std::function<bool(const TMessage&)>& match, TClock::time_point deadline) {
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto it = std::find_if(unclaimed_.begin(), unclaimed_.end(), match);
    if (it != unclaimed_.end()) {
      unclaimed_.erase(it);
      return TWait::Matched;
    }
    if (closed_) return TWait::Closed;
    if (TClock::now() >= deadline) return TWait::TimedOut;
    changed_.wait_until(lock, deadline);
  }
}

void TClientConnection::Linger(TClock::time_point deadline) {
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [this] { return closed_; });
}

void TClientConnection::Close() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    closing_ = true;
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  });
  work_.reset();
  thread_.join();
}

}  // namespace kassiro::client
