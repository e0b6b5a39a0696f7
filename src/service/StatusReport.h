// What `kassirod -Status` prints: the server's state, its clients and uptime, and one
// row per served ECR as the status window shows it, with the line's counters for that
// ECR. No window counts a mode down here, so each mode comes with its age: the time since
// the ECR last showed itself in it. Taken from the running server's snapshot, then
// formatted as text for people or as JSON for scripts.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ReportJournal.h"
#include "ecrlink/LineCounters.h"
#include "operator/ServerFacade.h"
#include "operator/StatusGrid.h"

namespace kassiro {

struct TSetHolder {
  int Set = 0;
  int Id = 0;
};

struct TEcrStatus {
  int LogNo = 0;
  op::TGridRow Row;                 // "Log No", "Ser No", "Mode", "SET:ID"
  std::vector<TSetHolder> Holders;  // the same holders, one by one
  // Since the ECR last showed itself in the mode; none when it has not since the start,
  // and then the mode is "Off".
  std::optional<std::int64_t> ModeAgeSeconds;
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
  std::optional<TReportJournal::TState> Journal;  // none: no report journal is written
  int JournalDays = 0;
};

TStatusReport TakeStatus(op::TServerFacade& server, std::chrono::seconds uptime);
// The mode cell of the text: "OnLine(12s)", or "Off".
std::string ModeWithAge(const TEcrStatus& e);
std::string StatusText(const TStatusReport& r);
std::string StatusJson(const TStatusReport& r);
// One line per ECR the line ever took, with its counters, for the log at stop.
std::vector<std::string> CounterLines(const TLineStats& stats);

}  // namespace kassiro
