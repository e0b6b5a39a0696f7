#include "ecrbridge/Publisher.h"

#include <cerrno>
#include <cstring>

namespace kassiro::bridge {

namespace {

constexpr auto CONNACK_TIMEOUT = std::chrono::seconds(10);
constexpr auto GOODBYE_TIMEOUT = std::chrono::seconds(3);
constexpr std::string_view ONLINE = "online";
constexpr std::string_view OFFLINE = "offline";

const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

TPublisher::TPublisher(TPublisherOptions options, TSpool& spool, TBridgeLog& log)
    : FOptions(std::move(options)),
      FWhere(FOptions.Broker.Host + ":" + std::to_string(FOptions.Broker.Port)),
      FSpool(spool),
      FLog(log),
      FBackoff(FOptions.RetryMin, FOptions.RetryMax) {}

void TPublisher::Wake() { FWake.Set(); }

void TPublisher::Stop() {
  FStopping = true;
  FWake.Set();
}

std::string TPublisher::Problem(int rc) const {
  // The library closes a refused connection itself; the broker's answer says why.
  if (FRefused != 0) return std::string("the broker refused the connection: ") + mosquitto_connack_string(FRefused);
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(rc);
}

void TPublisher::Run() {
  auto nextAttempt = TClock::now();
  while (!FStopping) {
    if (!FMosq) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt - TClock::now()).count();
      if (left > 0) {
        FWake.Wait(std::chrono::milliseconds(std::min<long long>(left, 60000)));
        FWake.Clear();
        continue;
      }
      if (!Connect()) nextAttempt = TClock::now() + FBackoff.Next();
      continue;
    }
    if (FRefused != 0) {
      Drop(Problem(MOSQ_ERR_CONN_REFUSED));
    } else if (!FConnected && TClock::now() - FConnectStarted > CONNACK_TIMEOUT) {
      Drop("the broker did not answer the connection");
    } else {
      if (FConnected) PublishSpooled();
      if (FMosq) Service(1000);
    }
    if (!FMosq) nextAttempt = TClock::now() + FBackoff.Next();
  }
  Finish();
}

bool TPublisher::Connect() {
  FMosq.reset(mosquitto_new(FOptions.ClientId.c_str(), true, this));
  if (!FMosq) {
    FLog.Line("cannot make an MQTT client: " + std::string(std::strerror(errno)));
    return false;
  }
  mosquitto* m = FMosq.get();
  mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_int_option(m, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(FOptions.Window));
  mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_will_set(m, FOptions.StateTopic.c_str(), static_cast<int>(OFFLINE.size()), OFFLINE.data(), 1, true);
  if (!FOptions.Username.empty())
    mosquitto_username_pw_set(m, FOptions.Username.c_str(), OrNull(FOptions.Password));
  if (FOptions.Broker.Tls) {
    const int rc = mosquitto_tls_set(m, OrNull(FOptions.TlsCaFile), OrNull(FOptions.TlsCaPath),
                                     OrNull(FOptions.TlsCertFile), OrNull(FOptions.TlsKeyFile), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      FLog.Line("cannot set up TLS for the broker " + FWhere + ": " + Problem(rc));
      FMosq.reset();
      return false;
    }
    mosquitto_tls_insecure_set(m, FOptions.TlsInsecure);
  }
  mosquitto_connect_callback_set(m, &TPublisher::OnConnect);
  mosquitto_publish_callback_set(m, &TPublisher::OnPublish);
  FConnected = false;
  FRefused = 0;
  FInFlight.clear();
  // Without waiting for the TCP connection: a broker behind a firewall that drops packets
  // is given up by the CONNACK timer, and a stop never waits for the kernel's time-out.
  const int rc =
      mosquitto_connect_async(m, FOptions.Broker.Host.c_str(), FOptions.Broker.Port, FOptions.KeepaliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    if (!FLostLogged) FLog.Line("cannot connect to the broker " + FWhere + ": " + Problem(rc) + "; trying again");
    FLostLogged = true;
    FMosq.reset();
    return false;
  }
  FConnectStarted = TClock::now();
  return true;
}

void TPublisher::Drop(const std::string& why) {
  if (!FLostLogged) {
    FLog.Line(FConnected ? "lost the broker " + FWhere + ": " + why + "; reports wait in the spool"
                         : "cannot connect to the broker " + FWhere + ": " + why);
  }
  FLostLogged = true;
  FMosq.reset();  // with what it had queued: the spool sends it again
  FConnected = false;
  FInFlight.clear();
}

void TPublisher::OnConnect(mosquitto*, void* self, int rc) {
  auto& p = *static_cast<TPublisher*>(self);
  if (rc != 0) {
    p.FRefused = rc;
    return;
  }
  p.FConnected = true;
  p.FAnnounce = true;
  p.FLostLogged = false;
  p.FBackoff.Reset();
  p.FInFlight.clear();
  p.FReadPos = p.FSpool.Cursor();
  const std::uint64_t waiting = p.FSpool.Pending();
  p.FLog.Line("connected to the broker " + p.FWhere +
              (waiting > 0 ? "; publishing " + std::to_string(waiting) + " spooled report(s)" : ""));
}

void TPublisher::OnPublish(mosquitto*, void* self, int mid) { static_cast<TPublisher*>(self)->Acked(mid); }

void TPublisher::Acked(int mid) {
  if (mid == FStateMid) FStateAcked = true;
  for (auto& f : FInFlight) {
    if (f.Mid == mid) {
      f.Acked = true;
      break;
    }
  }
  std::uint64_t count = 0;
  TSpool::TPos end;
  while (!FInFlight.empty() && FInFlight.front().Acked) {
    end = FInFlight.front().End;
    FInFlight.pop_front();
    ++count;
  }
  if (count > 0) FSpool.Acknowledge(end, count);
}

void TPublisher::PublishSpooled() {
  mosquitto* m = FMosq.get();
  if (FAnnounce) {
    FAnnounce = false;
    mosquitto_publish(m, nullptr, FOptions.StateTopic.c_str(), static_cast<int>(ONLINE.size()), ONLINE.data(), 1,
                      true);
  }
  while (FInFlight.size() < FOptions.Window) {
    const auto record = FSpool.Read(FReadPos);
    if (!record) return;
    int mid = 0;
    const int rc = mosquitto_publish(m, &mid, record->Topic.c_str(), static_cast<int>(record->Payload.size()),
                                     record->Payload.data(), 1, false);
    if (rc != MOSQ_ERR_SUCCESS) {
      Drop(Problem(rc));
      return;
    }
    FInFlight.push_back({mid, record->End, false});
    FReadPos = record->End;
  }
}

bool TPublisher::Service(int timeoutMs) {
  mosquitto* m = FMosq.get();
  const int sock = mosquitto_socket(m);
  if (sock < 0) {
    Drop("the connection closed");
    return false;
  }
  const platform::TSocketReady ready =
      FWake.WaitBeside(sock, mosquitto_want_write(m), std::chrono::milliseconds(timeoutMs));
  if (ready.Error) {
    Drop(ready.Error.message());
    return false;
  }
  if (ready.Woken) FWake.Clear();
  int rc = MOSQ_ERR_SUCCESS;
  if (ready.Readable) rc = mosquitto_loop_read(m, 1);
  if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(m)) rc = mosquitto_loop_write(m, 1);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(m);
  if (rc != MOSQ_ERR_SUCCESS) {
    Drop(Problem(rc));
    return false;
  }
  return true;
}

void TPublisher::Finish() {
  if (FMosq && FConnected) {
    FStateAcked = false;
    mosquitto_publish(FMosq.get(), &FStateMid, FOptions.StateTopic.c_str(), static_cast<int>(OFFLINE.size()),
                      OFFLINE.data(), 1, true);
    // Reports still in flight are acknowledged before "offline" is: fewer to send again.
    const auto until = TClock::now() + GOODBYE_TIMEOUT;
    while (FMosq && !FStateAcked && TClock::now() < until) Service(100);
    if (FMosq) {
      mosquitto_disconnect(FMosq.get());
      mosquitto_loop_write(FMosq.get(), 1);
    }
  }
  FMosq.reset();
}

}  // namespace kassiro::bridge
