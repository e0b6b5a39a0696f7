// The bridge's client of the Kassiro server: connects, takes the report set (the
// listening set ST_ERSL, or the main set ST_ERS) on every configured ECR and hands each
// report to the caller the moment it is read. A lost server is connected again after a
// growing wait, and the sets are taken again; a refused take is tried again later.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ecrbridge/Backoff.h"
#include "ecrbridge/BridgeLog.h"
#include "platform/TcpClient.h"
#include "platform/WakeEvent.h"

namespace kassiro::bridge {

struct TLinkOptions {
  std::string Host;
  std::uint16_t Port = 0;
  std::vector<std::uint8_t> Ecrs;
  bool MainSet = false;
  std::string Password;
  std::chrono::milliseconds RetryMin{500}, RetryMax{30000};
};

class TKassiroLink {
 public:
  // ecr, event code, the message's text, when it was read.
  using TOnReport = std::function<void(std::uint8_t, std::uint8_t, std::string_view,
                                       std::chrono::system_clock::time_point)>;

  TKassiroLink(TLinkOptions options, TBridgeLog& log, TOnReport onReport);

  void Run();   // until Stop
  void Stop();  // from any thread

 private:
  using TClock = std::chrono::steady_clock;

  std::unique_ptr<platform::TTcpClient> Connect();
  void Session(platform::TTcpClient& server);
  bool WaitFor(TClock::time_point until);  // false when stopping

  const TLinkOptions FOptions;
  const std::uint8_t FSet;
  const std::string FWhere;  // "host:port"
  TBridgeLog& FLog;
  TOnReport FOnReport;
  TBackoff FBackoff;
  platform::TWakeEvent FWake;
  std::atomic<bool> FStopping{false};
  bool FFailureLogged = false;  // the run's thread only
};

}  // namespace kassiro::bridge
