#include "ecrbridge/KassiroLink.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>

#include "core/CodeNames.h"
#include "core/KassiroConstants.h"
#include "ecrbridge/ReportJson.h"
#include "ecrclient/Wire.h"

namespace kassiro::bridge {

namespace {

using client::TMessage;

constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(10);

std::string ErrorText(int err) { return std::strerror(err); }

// A dead server (its PC switched off) shows as a dead connection within some 60 s.
void KeepAlive(int fd) {
  const int on = 1, idle = 30, interval = 10, count = 3;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 1000);
      continue;
    }
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

std::string EcrNumbers(const std::vector<std::uint8_t>& ecrs) {
  std::string out;
  for (const auto e : ecrs) out += (out.empty() ? "" : ",") + std::to_string(e);
  return out;
}

}  // namespace

TKassiroLink::TKassiroLink(TLinkOptions options, TBridgeLog& log, TOnReport onReport)
    : FOptions(std::move(options)),
      FSet(FOptions.MainSet ? ST_ERS : ST_ERSL),
      FWhere(FOptions.Host + ":" + std::to_string(FOptions.Port)),
      FLog(log),
      FOnReport(std::move(onReport)),
      FBackoff(FOptions.RetryMin, FOptions.RetryMax) {}

void TKassiroLink::Stop() {
  FStopping = true;
  FWake.Set();
}

bool TKassiroLink::WaitFor(TClock::time_point until) {
  while (!FStopping) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - TClock::now()).count();
    if (left <= 0) return true;
    pollfd p{FWake.Fd(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
  }
  return false;
}

void TKassiroLink::Run() {
  while (!FStopping) {
    TUniqueFd fd = Connect();
    if (fd.valid()) {
      FFailureLogged = false;
      FBackoff.Reset();
      Session(fd.get());
      if (FStopping) break;
    }
    const auto wait = FBackoff.Next();
    if (!WaitFor(TClock::now() + wait)) break;
  }
}

TUniqueFd TKassiroLink::Connect() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(FOptions.Host.c_str(), std::to_string(FOptions.Port).c_str(), &hints, &found);
  if (rc != 0) {
    if (!FFailureLogged) FLog.Line("cannot find the Kassiro server " + FWhere + ": " + ::gai_strerror(rc));
    FFailureLogged = true;
    return {};
  }
  std::string why = "no address";
  TUniqueFd result;
  for (addrinfo* a = found; a != nullptr && !result.valid() && !FStopping; a = a->ai_next) {
    TUniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd.valid()) continue;
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      why = ErrorText(errno);
      continue;
    }
    pollfd p[2] = {{fd.get(), POLLOUT, 0}, {FWake.Fd(), POLLIN, 0}};
    const int n = ::poll(p, 2, static_cast<int>(std::chrono::milliseconds(CONNECT_TIMEOUT).count()));
    int err = 0;
    socklen_t len = sizeof err;
    if (n <= 0 || !(p[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      why = n == 0 ? "timed out" : "stopped";
      continue;
    }
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      why = ErrorText(err);
      continue;
    }
    result = std::move(fd);
  }
  ::freeaddrinfo(found);
  // Said once; the attempts go on quietly until one succeeds.
  if (!result.valid() && !FStopping && !FFailureLogged) {
    FLog.Line("cannot connect to the Kassiro server " + FWhere + ": " + why + "; trying again");
    FFailureLogged = true;
  }
  return result;
}

void TKassiroLink::Session(int fd) {
  KeepAlive(fd);
  FLog.Line("connected to the Kassiro server " + FWhere);
  const std::string setName(SetName(FSet));

  // Per ECR: when to ask for the set (again); nothing once it is held or asked for.
  std::map<std::uint8_t, TClock::time_point> toAsk;
  for (const auto e : FOptions.Ecrs) toAsk[e] = TClock::now();
  std::vector<std::uint8_t> awaited, held;
  client::TFrameReader reader;
  std::array<char, 4096> buffer{};

  while (!FStopping) {
    const auto now = TClock::now();
    auto next = now + std::chrono::hours(1);
    for (auto it = toAsk.begin(); it != toAsk.end();) {
      if (it->second > now) {
        next = std::min(next, it->second);
        ++it;
        continue;
      }
      const std::string request =
          client::Frame(client::BuildMessage(FSet, COP_REQ, 0, it->first, 0, FOptions.Password + ";").view());
      if (!SendAll(fd, request)) {
        FLog.Line("lost the Kassiro server " + FWhere + ": " + ErrorText(errno));
        return;
      }
      awaited.push_back(it->first);
      it = toAsk.erase(it);
    }

    pollfd p[2] = {{fd, POLLIN, 0}, {FWake.Fd(), POLLIN, 0}};
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    if (::poll(p, 2, static_cast<int>(std::clamp<long long>(wait, 0, 60000))) < 0 && errno != EINTR) return;
    if (!(p[0].revents & (POLLIN | POLLERR | POLLHUP))) continue;
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      FLog.Line("lost the Kassiro server " + FWhere + ": " +
                (n == 0 ? std::string("the server closed the connection") : ErrorText(errno)));
      return;
    }
    const auto received = std::chrono::system_clock::now();
    reader.Consume(std::string_view(buffer.data(), static_cast<std::size_t>(n)), [&](std::string_view bytes) {
      const TMessage m = client::Decode(bytes);
      if (m.Size < client::MESSAGE_HEAD_SIZE) return;
      const auto mine = std::find(awaited.begin(), awaited.end(), m.Ecr);
      if (m.St == FSet && m.Cop == COP_REQ && mine != awaited.end()) {
        awaited.erase(mine);
        if (m.Err == ERR_NO_ERROR) {
          held.push_back(m.Ecr);
        } else {
          const auto retry = FOptions.RetryMax;
          FLog.Line("ECR " + std::to_string(m.Ecr) + ": " + setName + " refused: " +
                    std::string(ErrorName(m.Err)) + " (" + std::to_string(m.Err) + "); asking again in " +
                    std::to_string(retry.count()) + " ms");
          toAsk[m.Ecr] = TClock::now() + retry;
        }
        if (awaited.empty() && !held.empty()) {
          std::sort(held.begin(), held.end());
          FLog.Line("holding " + setName + " on ECR " + EcrNumbers(held));
          held.clear();
        }
        return;
      }
      if (IsReport(m.St, m.Cop) && std::binary_search(FOptions.Ecrs.begin(), FOptions.Ecrs.end(), m.Ecr))
        FOnReport(m.Ecr, m.Cop, m.Text.view(), received);
    });
  }
}

}  // namespace kassiro::bridge
