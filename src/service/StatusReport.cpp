#include "service/StatusReport.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "util/JsonText.h"
#include "util/LangTbl.h"
#include "platform/LocalTime.h"

namespace kassiro {

namespace {

std::vector<TSetHolder> HoldersOf(const TEcr& ecr) {
  std::vector<TSetHolder> out;
  for (int st = 1; st <= static_cast<int>(SET_COUNT); ++st) {
    const auto id = ecr.Sets[static_cast<std::size_t>(st)].OwnerID;
    if (id != 0) out.push_back({st, id});
  }
  return out;
}

std::string Uptime(std::int64_t s) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%lldd %02lld:%02lld:%02lld", static_cast<long long>(s / 86400),
                static_cast<long long>(s / 3600 % 24), static_cast<long long>(s / 60 % 60),
                static_cast<long long>(s % 60));
  return buf;
}

// The moment t (seconds since the epoch) in the strftime format, in UTC or local time.
std::string TimeText(std::int64_t t, const char* format, bool utc) {
  const std::time_t tt = static_cast<std::time_t>(t);
  const std::tm tm = utc ? platform::UtcTm(tt) : platform::LocalTm(tt);
  char buf[32];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

// Local time "2026-12-10 14:03:22", or "-" for never.
std::string LocalTime(std::int64_t t) { return t == 0 ? "-" : TimeText(t, "%Y-%m-%d %H:%M:%S", false); }

// UTC "2026-12-10T14:03:22Z" for scripts.
std::string UtcTime(std::int64_t t) { return TimeText(t, "%Y-%m-%dT%H:%M:%SZ", true); }

std::string Padded(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

// A cell as wide as its column or wider keeps one blank before the next.
std::string Columns(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    line += i + 1 < cells.size() ? Padded(cells[i], std::max(widths[i], cells[i].size() + 1)) : cells[i];
  }
  return line;
}

constexpr std::string_view ANY_IPV4 = "0.0.0.0";

std::string Joined(const std::vector<std::string>& items, std::string_view sep) {
  std::string out;
  for (const auto& i : items) out += (out.empty() ? "" : std::string(sep)) + i;
  return out;
}

const std::vector<std::size_t> GRID_WIDTHS = {8, 8, 8, 0};
const std::vector<std::size_t> COUNTER_WIDTHS = {8, 8, 10, 11, 9, 10, 10, 9, 8, 0};

std::vector<std::string> CounterCells(const TEcrStatus& e) {
  const TLineCounters& c = e.Counters;
  std::vector<std::string> cells{std::to_string(e.LogNo)};
  for (const auto& n : LINE_COUNTS) cells.push_back(std::to_string(c.*n.Field));
  cells.push_back(LocalTime(c.LastAnswer));
  return cells;
}

// One line per serial number that answered for several ECRs, after a blank line.
std::string SharedSerialLines(const std::vector<TSharedSerial>& shared) {
  std::string out = shared.empty() ? "" : "\n";
  for (const auto& s : shared)
    out += SharedSerialText(s.Serial, s.Ecrs) + " (last " + LocalTime(s.Last) + ")\n";
  return out;
}

}  // namespace

TStatusReport TakeStatus(op::TServerFacade& facade, std::chrono::seconds uptime) {
  TKassiroServer& server = facade.Server();
  TStatusReport r;
  r.Title = server.Title();
  r.Running = server.Started();
  r.Port = server.PortName();
  r.ListeningPort = server.ListeningPort();
  r.Listen = server.ListenAddress();
  for (const auto& range : server.AllowList().Ranges()) r.Allow.push_back(range.Text());
  r.CodeTable = server.LanguageID();
  r.CodeTableName = LanguageName(r.CodeTable);
  r.Clients = server.ClientCount();
  r.UptimeSeconds = uptime.count();
  const op::TRecordsSnapshot s = facade.Snapshot();
  r.Speed = s.Settings.Speed;
  r.TcpPort = s.Settings.IPPort;
  if (r.Port.empty()) r.Port = s.Settings.ComPortName.str();
  r.Polling = s.ServerStatus != 0;
  for (const op::TServedEcr& e : s.Served) {
    TERData data = e.Data;
    if (!e.ModeAge) data.CurrMode = MD_OFF;  // not seen in any mode since the start
    r.Ecrs.push_back({e.LogNo, op::EcrRow(e.LogNo, e.Ecr, data), HoldersOf(e.Ecr),
                      e.ModeAge ? std::optional<std::int64_t>(e.ModeAge->count()) : std::nullopt,
                      server.LineStats().Of(e.LogNo)});
  }
  r.SharedSerials = server.LineStats().SharedSerials();
  r.OutsideTake = server.LineStats().OutsideTake();
  r.Journal = server.JournalState();
  r.JournalDays = server.JournalDays();
  return r;
}

std::string ModeWithAge(const TEcrStatus& e) {
  if (!e.ModeAgeSeconds) return e.Row[2];
  return e.Row[2] + "(" + std::to_string(*e.ModeAgeSeconds) + "s)";
}

std::string StatusText(const TStatusReport& r) {
  std::string out = r.Title + "\n";
  if (r.Running) {
    // The port clients really reach (a configured 0 picks a free one).
    const int ip = r.ListeningPort != 0 ? r.ListeningPort : r.TcpPort;
    out += "Port: " + r.Port + " Speed: " + std::to_string(r.Speed) + "  IP Port: " +
           std::to_string(ip) + "\n";
  } else {
    out += std::string(op::SERVER_STOPPED_TEXT) + "\n";
  }
  out += op::LanguageText(r.CodeTable) + "\n";
  out += "Listen: " + (r.Listen.empty() ? std::string(ANY_IPV4) + " (every IPv4 address)" : r.Listen) +
         "  Allow: " + (r.Allow.empty() ? std::string("everybody") : Joined(r.Allow, ",")) + "\n";
  out += "Clients: " + std::to_string(r.Clients) + "  Uptime: " + Uptime(r.UptimeSeconds) + "\n";
  if (r.Running && r.ListeningPort == 0) {
    out += "TCP port " + std::to_string(r.TcpPort) + " is not open: no client can connect\n";
  }
  out += std::string("Polling: ") + (r.Polling ? "yes" : "no") + "\n";
  if (r.OutsideTake != 0) out += "Frames outside any take: " + std::to_string(r.OutsideTake) + "\n";
  if (r.Journal) {
    out += "Report journal: " +
           (r.Journal->First == 0 ? std::string("empty")
                                  : std::to_string(r.Journal->First) + " to " + std::to_string(r.Journal->Last)) +
           ", " + std::to_string(r.Journal->Bytes) + " bytes, kept " + std::to_string(r.JournalDays) + " days\n";
  }
  out += "\n";
  out += Columns({std::string(op::STATUS_HEADER[0]), std::string(op::STATUS_HEADER[1]),
                  std::string(op::STATUS_HEADER[2]), std::string(op::STATUS_HEADER[3])},
                 GRID_WIDTHS) +
         "\n";
  for (const auto& e : r.Ecrs) {
    out += Columns({e.Row[0], e.Row[1], ModeWithAge(e), e.Row[3]}, GRID_WIDTHS) + "\n";
  }
  if (r.Ecrs.empty()) return out;
  std::vector<std::string> heads{"Log No"};
  for (const auto& n : LINE_COUNTS) heads.emplace_back(n.Column);
  heads.emplace_back("Last answer");
  out += "\n" + Columns(heads, COUNTER_WIDTHS) + "\n";
  for (const auto& e : r.Ecrs) out += Columns(CounterCells(e), COUNTER_WIDTHS) + "\n";
  return out + SharedSerialLines(r.SharedSerials);
}

std::string StatusJson(const TStatusReport& r) {
  std::string out = "{";
  out += "\"title\":" + JsonString(r.Title);
  out += ",\"state\":" + JsonString(r.Running ? "running" : "stopped");
  out += ",\"port\":" + JsonString(r.Port);
  out += ",\"speed\":" + std::to_string(r.Speed);
  out += ",\"tcpPort\":" + std::to_string(r.TcpPort);
  out += ",\"listeningPort\":" + std::to_string(r.ListeningPort);
  out += ",\"listen\":" + JsonString(r.Listen.empty() ? ANY_IPV4 : r.Listen);
  out += ",\"allow\":[";
  for (std::size_t i = 0; i < r.Allow.size(); ++i) out += (i ? "," : "") + JsonString(r.Allow[i]);
  out += "]";
  out += ",\"codeTable\":" + std::to_string(r.CodeTable);
  out += ",\"codeTableName\":" + JsonString(r.CodeTableName);
  out += ",\"clients\":" + std::to_string(r.Clients);
  out += ",\"uptimeSeconds\":" + std::to_string(r.UptimeSeconds);
  out += std::string(",\"polling\":") + (r.Polling ? "true" : "false");
  out += ",\"framesOutsideTake\":" + std::to_string(r.OutsideTake);
  out += ",\"journal\":";
  out += r.Journal ? "{\"first\":" + std::to_string(r.Journal->First) + ",\"last\":" + std::to_string(r.Journal->Last) +
                         ",\"bytes\":" + std::to_string(r.Journal->Bytes) + ",\"days\":" + std::to_string(r.JournalDays) + "}"
                   : std::string("null");
  out += ",\"ecrs\":[";
  for (std::size_t i = 0; i < r.Ecrs.size(); ++i) {
    const auto& e = r.Ecrs[i];
    const TLineCounters& c = e.Counters;
    if (i) out += ",";
    out += "{\"logNo\":" + std::to_string(e.LogNo) + ",\"serNo\":" + JsonString(e.Row[1]) +
           ",\"mode\":" + JsonString(e.Row[2]) + ",\"modeAgeSeconds\":" +
           (e.ModeAgeSeconds ? std::to_string(*e.ModeAgeSeconds) : std::string("null")) + ",\"setId\":" + JsonString(e.Row[3]) + ",\"holders\":[";
    for (std::size_t h = 0; h < e.Holders.size(); ++h) {
      out += (h ? "," : "") + std::string("{\"set\":") + std::to_string(e.Holders[h].Set) +
             ",\"id\":" + std::to_string(e.Holders[h].Id) + "}";
    }
    out += "],\"counters\":{";
    for (const auto& n : LINE_COUNTS) out += JsonString(n.Key) + ":" + std::to_string(c.*n.Field) + ",";
    out += "\"lastAnswer\":" + (c.LastAnswer == 0 ? std::string("null") : JsonString(UtcTime(c.LastAnswer))) + "}}";
  }
  out += "],\"sharedSerials\":[";
  for (std::size_t i = 0; i < r.SharedSerials.size(); ++i) {
    const auto& s = r.SharedSerials[i];
    out += std::string(i ? "," : "") + "{\"serial\":" + std::to_string(s.Serial) + ",\"ecrs\":[";
    for (std::size_t k = 0; k < s.Ecrs.size(); ++k) out += (k ? "," : "") + std::to_string(s.Ecrs[k]);
    out += "],\"text\":" + JsonString(SharedSerialText(s.Serial, s.Ecrs)) +
           ",\"last\":" + JsonString(UtcTime(s.Last)) + "}";
  }
  return out + "]}\n";
}

std::vector<std::string> CounterLines(const TLineStats& stats) {
  std::vector<std::string> lines;
  for (int n = 1; n <= MAX_ECR_COUNT; ++n) {
    const TLineCounters c = stats.Of(n);
    if (c.Takes == 0) continue;
    std::string line = "ECR " + std::to_string(n) + ": ";
    for (const auto& k : LINE_COUNTS) line += std::string(k.Words) + " " + std::to_string(c.*k.Field) + ", ";
    lines.push_back(line + "last answer " + LocalTime(c.LastAnswer));
  }
  return lines;
}

}  // namespace kassiro
