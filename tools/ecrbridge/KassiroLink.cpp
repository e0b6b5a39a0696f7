#include "ecrbridge/KassiroLink.h"

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
    FWake.Wait(std::chrono::milliseconds(std::min<long long>(left, 60000)));
  }
  return false;
}

void TKassiroLink::Run() {
  while (!FStopping) {
    const auto server = Connect();
    if (server) {
      FFailureLogged = false;
      FBackoff.Reset();
      Session(*server);
      if (FStopping) break;
    }
    const auto wait = FBackoff.Next();
    if (!WaitFor(TClock::now() + wait)) break;
  }
}

std::unique_ptr<platform::TTcpClient> TKassiroLink::Connect() {
  auto connected = platform::TTcpClient::Connect(FOptions.Host, FOptions.Port, CONNECT_TIMEOUT, FWake);
  if (!connected.Found) {
    if (!FFailureLogged) FLog.Line("cannot find the Kassiro server " + FWhere + ": " + connected.Error);
    FFailureLogged = true;
    return nullptr;
  }
  // Said once; the attempts go on quietly until one succeeds.
  if (!connected.Client && !FStopping && !FFailureLogged) {
    FLog.Line("cannot connect to the Kassiro server " + FWhere + ": " + connected.Error + "; trying again");
    FFailureLogged = true;
  }
  return std::move(connected.Client);
}

void TKassiroLink::Session(platform::TTcpClient& server) {
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
      if (const auto error = server.SendAll(request)) {
        FLog.Line("lost the Kassiro server " + FWhere + ": " + error.message());
        return;
      }
      awaited.push_back(it->first);
      it = toAsk.erase(it);
    }

    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    const platform::TTcpRead r =
        server.Receive(buffer, std::chrono::milliseconds(std::clamp<long long>(wait, 0, 60000)), FWake);
    if (r.Closed || r.Error) {
      FLog.Line("lost the Kassiro server " + FWhere + ": " +
                (r.Closed ? std::string("the server closed the connection") : r.Error.message()));
      return;
    }
    if (r.Bytes == 0) continue;
    const auto received = std::chrono::system_clock::now();
    reader.Feed(std::string_view(buffer.data(), r.Bytes), [&](std::string_view bytes) {
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
