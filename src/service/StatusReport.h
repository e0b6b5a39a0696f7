// What `kassirod -Status` prints: the server's state, its clients and uptime, and one
// row per served ECR as the status window shows it, with the line's counters for that
// ECR. Taken from the running server in one go under the session lock, then formatted as
// text for people or as JSON for scripts.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ecrlink/LineCounters.h"
#include "server/KassiroServer.h"
#include "ui/logic/StatusGrid.h"

namespace kassiro {

struct TSetHolder {
  int Set = 0;
  int Id = 0;
};

struct TEcrStatus {
  int LogNo = 0;
  ui::TGridRow Row;                 // "Log No", "Ser No", "Mode", "SET:ID"
  std::vector<TSetHolder> Holders;  // the same holders, one by one
  TLineCounters Counters;
};

struct TStatusReport {
  std::string Title;
  bool Running = false;
  std::string Port;
  int Speed = 0;
  int TcpPort = 0;        // as configured
  int ListeningPort = 0;  // 0: clients cannot connect
  std::string Listen;     // the local address listened on; "" for every IPv4 address
  std::vector<std::string> Allow;  // the ranges clients may connect from; none: everybody
  int CodeTable = 0;
  std::string CodeTableName;
  std::size_t Clients = 0;
  std::int64_t UptimeSeconds = 0;
  bool Polling = false;  // the status window's indicator
  std::vector<TEcrStatus> Ecrs;
  std::vector<TSharedSerial> SharedSerials;  // serial numbers that answered for several ECRs
  std::uint64_t OutsideTake = 0;             // intact frames that no take asked for
};

TStatusReport TakeStatus(TKassiroServer& server, std::chrono::seconds uptime);
std::string StatusText(const TStatusReport& r);
std::string StatusJson(const TStatusReport& r);
// One line per ECR the line ever took, with its counters, for the log at stop.
std::vector<std::string> CounterLines(const TLineStats& stats);

}  // namespace kassiro
