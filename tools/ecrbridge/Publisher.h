// The bridge's MQTT side: publishes the spool's records in their order at QoS 1 and
// acknowledges each one in the spool when the broker has acknowledged it. It owns its
// libmosquitto handle on its own thread, driving the handle's socket itself, so a new
// report is on the wire as soon as it is spooled. A lost broker is connected again after
// a growing wait, on a new handle: the records it had not acknowledged go out again,
// in order, from the spool. "online" / "offline" stand retained under the state topic,
// "offline" also as the last will for a bridge that dies.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "ecrbridge/Backoff.h"
#include "ecrbridge/BridgeConfig.h"
#include "ecrbridge/BridgeLog.h"
#include "ecrbridge/Spool.h"
#include "platform/WakeEvent.h"

namespace kassiro::bridge {

struct TPublisherOptions {
  TBrokerAddress Broker;
  std::string ClientId, Username, Password;
  std::string TlsCaFile, TlsCaPath, TlsCertFile, TlsKeyFile;
  bool TlsInsecure = false;
  int KeepaliveSeconds = 30;
  std::string StateTopic;
  std::chrono::milliseconds RetryMin{500}, RetryMax{30000};
  std::size_t Window = 100;  // records sent and not yet acknowledged
};

// libmosquitto's global set-up, for the program's lifetime.
class TMosquittoLibrary {
 public:
  TMosquittoLibrary() { mosquitto_lib_init(); }
  ~TMosquittoLibrary() { mosquitto_lib_cleanup(); }
  TMosquittoLibrary(const TMosquittoLibrary&) = delete;
  TMosquittoLibrary& operator=(const TMosquittoLibrary&) = delete;
};

class TPublisher {
 public:
  TPublisher(TPublisherOptions options, TSpool& spool, TBridgeLog& log);

  void Run();   // until Stop; then "offline" and a clean disconnect
  void Wake();  // a record was spooled: from any thread
  void Stop();  // from any thread

 private:
  using TClock = std::chrono::steady_clock;
  struct TDeleter {
    void operator()(mosquitto* m) const { mosquitto_destroy(m); }
  };
  struct TInFlight {
    int Mid = 0;
    TSpool::TPos End;
    bool Acked = false;
  };

  bool Connect();
  void Drop(const std::string& why);
  void PublishSpooled();
  bool Service(int timeoutMs);  // one round of the handle's socket; false when it was lost
  void Finish();
  void Acked(int mid);
  std::string Problem(int rc) const;

  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);

  const TPublisherOptions FOptions;
  const std::string FWhere;
  TSpool& FSpool;
  TBridgeLog& FLog;
  TBackoff FBackoff;
  platform::TWakeEvent FWake;
  std::atomic<bool> FStopping{false};

  std::unique_ptr<mosquitto, TDeleter> FMosq;
  TClock::time_point FConnectStarted;
  bool FConnected = false;      // CONNACK accepted
  bool FAnnounce = false;       // "online" is due
  int FRefused = 0;             // a CONNACK's refusal, to log outside the callback
  int FStateMid = -1;           // "offline" at the end
  bool FStateAcked = false;
  bool FLostLogged = false;     // a broker that stays away is logged once
  TSpool::TPos FReadPos;
  std::deque<TInFlight> FInFlight;
};

}  // namespace kassiro::bridge
