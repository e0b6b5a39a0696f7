// ecrbridge: takes the report sets of a Kassiro server's ECRs and publishes every report
// as JSON on an MQTT broker (see docs/bridge.md). Two threads do the work: the link
// reads reports from the server and puts each into the on-disk spool at once; the
// publisher sends the spool's records to the broker and lets them go when the broker
// has acknowledged them. The main thread waits for SIGTERM / SIGINT and stops both.
//
// Exit status: 0 after a stop by signal, --help or --version; 1 when the spool can't be
// used; 2 for a mistake in the options or the config file.
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <future>
#include <iostream>
#include <optional>
#include <thread>

#include "ecrbridge/BridgeConfig.h"
#include "ecrbridge/BridgeLog.h"
#include "ecrbridge/Charset.h"
#include "ecrbridge/JournalFeed.h"
#include "ecrbridge/KassiroLink.h"
#include "ecrbridge/Publisher.h"
#include "ecrbridge/ReportJson.h"
#include "ecrbridge/Spool.h"
#include "platform/ExePath.h"
#include "platform/Process.h"
#include "platform/StopEvents.h"

namespace {

using namespace kassiro::bridge;
namespace fs = std::filesystem;

// What a stop waits for the threads (the publisher's goodbye to the broker takes up to 3 s).
constexpr auto STOP_TIMEOUT = std::chrono::seconds(5);

fs::path ExeDir() {
  const fs::path exe = kassiro::platform::ExecutablePath();
  return exe.empty() ? fs::current_path() : exe.parent_path();
}

std::string Ids(const TReport& r) {
  return "ECR " + std::to_string(r.Ecr) + " " + r.Event + " line " + (r.Line ? std::to_string(*r.Line) : "-") +
         " receipt " + (r.Receipt ? std::to_string(*r.Receipt) : "-");
}

// Puts each report into the spool and says when the spool fills and when it has room
// again, not at every report it had to drop.
class TReportSink {
 public:
  TReportSink(const TBridgeConfig& config, const TCharset& charset, TSpool& spool, TBridgeLog& log)
      : FConfig(config), FCharset(charset), FSpool(spool), FLog(log) {}

  void operator()(std::uint8_t ecr, std::uint8_t code, std::string_view text,
                  std::chrono::system_clock::time_point received) {
    const TReport report = ReadReport(ecr, code, text, FCharset, received);
    switch (FSpool.Append(ReportTopic(FConfig.Shop, report), ReportJson(FConfig.Shop, report))) {
      case TSpool::TAppend::Written:  // the publisher is woken once it is on disk
        if (FDropped > 0) {
          FLog.Line("the spool has room again; " + std::to_string(FDropped) + " report(s) were dropped, the last " +
                    FLastDropped);
          FDropped = 0;
        }
        break;
      case TSpool::TAppend::Full:
        Dropped(report, "the spool is full (" + std::to_string(FSpool.Bytes()) + " of " +
                            std::to_string(FSpool.MaxBytes()) + " bytes, " + std::to_string(FSpool.Pending()) +
                            " reports): reports are dropped until the broker takes some");
        break;
      case TSpool::TAppend::Failed:
        Dropped(report, "cannot write the spool in " + FConfig.SpoolDir.string() + ": " + std::strerror(errno) +
                            "; reports are dropped until it can");
        break;
    }
  }

 private:
  // The first report dropped is logged with why; the others only counted.
  void Dropped(const TReport& report, const std::string& why) {
    if (FDropped++ == 0) FLog.Line(why + "; the first " + Ids(report));
    FLastDropped = Ids(report);
  }

  const TBridgeConfig& FConfig;
  const TCharset& FCharset;
  TSpool& FSpool;
  TBridgeLog& FLog;
  std::uint64_t FDropped = 0;
  std::string FLastDropped;
};

int Run(const TBridgeConfig& c) {
  TBridgeLog log;
  const auto charset = TCharset::Named(c.Charset);
  TSpool::TOptions spoolOptions;
  spoolOptions.MaxBytes = c.SpoolSize;
  spoolOptions.FlushInterval = c.SpoolFlush;
  spoolOptions.OnDamage = [&log](const std::string& what) { log.Line("spool damaged: " + what); };
  auto opened = TSpool::Open(c.SpoolDir, std::move(spoolOptions));
  if (auto* error = std::get_if<std::string>(&opened)) {
    std::cerr << "ecrbridge: " << *error << "\n";  // with the mistakes in the options, for whoever started it
    return 1;
  }
  TSpool& spool = *std::get<std::unique_ptr<TSpool>>(opened);
  if (!spool.Repaired().empty()) log.Line("spool repaired: " + spool.Repaired());

  // Stop events are taken by this thread alone (the others start holding them).
  kassiro::platform::HoldStopEvents({kassiro::platform::TStopEvent::Close});

  TMosquittoLibrary library;
  TPublisher publisher({c.Broker, c.ClientId, c.Username, c.Password, c.TlsCaFile, c.TlsCaPath, c.TlsCertFile,
                        c.TlsKeyFile, c.TlsInsecure, c.KeepaliveSeconds, StateTopic(c.Shop), c.RetryMin,
                        c.RetryMax},
                       spool, log);
  // With the journal, the server's messages are not read: in main mode the link only
  // holds ST_ERS so that the ECRs are polled.
  const bool fromJournal = !c.JournalDir.empty();
  TKassiroLink::TOnReport onReport = TReportSink(c, *charset, spool, log);
  if (fromJournal) onReport = [](std::uint8_t, std::uint8_t, std::string_view, std::chrono::system_clock::time_point) {};
  TKassiroLink link({c.ServerHost, c.ServerPort, c.Ecrs, c.MainSet, c.SetPassword, c.RetryMin, c.RetryMax}, log,
                    std::move(onReport));
  std::optional<TJournalFeed> feed;
  if (fromJournal) feed.emplace(TFeedOptions{c.JournalDir, c.SpoolDir / "journal.pos", c.Shop, c.Ecrs}, *charset, spool, log);
  const bool linked = !fromJournal || c.MainSet;
  spool.OnStored([&publisher] { publisher.Wake(); });

  std::string ecrs;
  for (const auto e : c.Ecrs) ecrs += (ecrs.empty() ? "" : ",") + std::to_string(e);
  const std::string source =
      fromJournal ? "journal " + c.JournalDir.string() + " after " + std::to_string(feed->Position()) +
                        (c.MainSet ? ", ST_ERS held on " + c.ServerHost + ":" + std::to_string(c.ServerPort) : "")
                  : std::string(c.MainSet ? "ST_ERS" : "ST_ERSL") + " on " + c.ServerHost + ":" +
                        std::to_string(c.ServerPort);
  log.Line(VersionText() + " started: shop " + c.Shop + ", ECR " + ecrs + ", " + source +
           ", broker " + (c.Broker.Tls ? "mqtts://" : "mqtt://") + c.Broker.Host + ":" +
           std::to_string(c.Broker.Port) + ", spool " + c.SpoolDir.string() + " (" +
           std::to_string(spool.Pending()) + " report(s) waiting)");

  std::promise<void> published, read;
  std::thread publishing([&] {
    publisher.Run();
    published.set_value();
  });
  std::promise<void> linkEnded;
  std::thread holding([&] {
    if (linked) link.Run();
    linkEnded.set_value();
  });
  std::thread reading([&] {
    if (feed) feed->Run();
    read.set_value();
  });
  const int sig = kassiro::platform::WaitForStopEvent({kassiro::platform::TStopEvent::Close}).SystemCode;
  log.Line("stopping (signal " + std::to_string(sig) + ")");
  // The link first, then the publisher. A thread caught in a name look-up (a DNS server
  // that does not answer) is not waited for past STOP_TIMEOUT: the spool is whole at every
  // moment and on disk here, so the process may end without it.
  const auto until = std::chrono::steady_clock::now() + STOP_TIMEOUT;
  link.Stop();
  if (feed) feed->Stop();
  bool ended = read.get_future().wait_until(until) == std::future_status::ready;
  ended = linkEnded.get_future().wait_until(until) == std::future_status::ready && ended;
  spool.Flush();  // what the link read last is on disk before the end
  publisher.Stop();
  ended = published.get_future().wait_until(until) == std::future_status::ready && ended;
  if (!ended) {
    log.Line("stopped without waiting for a connection attempt; " + std::to_string(spool.Pending()) +
             " report(s) wait in the spool");
    std::fflush(stdout);
    std::_Exit(0);
  }
  reading.join();
  holding.join();
  publishing.join();
  spool.OnStored(nullptr);
  log.Line("stopped; " + std::to_string(spool.Pending()) + " report(s) wait in the spool");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  kassiro::platform::IgnoreBrokenPipes();
  const TCommandLine cmd = ParseCommandLine(argc, argv, ExeDir());
  std::cout << cmd.Out << std::flush;
  std::cerr << cmd.Err << std::flush;
  if (!cmd.Config) return cmd.Exit;
  return Run(*cmd.Config);
}
