#include "ecrbridge/ReportJson.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

#include "core/CodeNames.h"
#include "core/KassiroConstants.h"
#include "util/JsonText.h"
#include "util/WholeNumber.h"

namespace kassiro::bridge {

namespace {

constexpr std::array REPORT_EVENTS = {PLU_R, PLU_C, BAR_R, BAR_C, PER_R, PBN_R, TBN_R, ORD_R,
                                      PSM_R, TSM_R, PSO_R, TSO_R, ZTL_R, RPO_R};

// The text's ';'-terminated fields; bytes after the last ';' (a text cut short) are a
// field of their own, and cut tells that they were there.
std::vector<std::string_view> SplitFields(std::string_view text, bool& cut) {
  std::vector<std::string_view> fields;
  for (std::size_t end; (end = text.find(';')) != std::string_view::npos;) {
    fields.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  cut = !text.empty();
  if (cut) fields.push_back(text);
  return fields;
}

template <typename T>
void AppendNumber(std::string& out, const std::optional<T>& v) {
  out += v ? std::to_string(*v) : "null";
}

// "2026-12-10T14:03:05.123Z"
std::string IsoTime(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace

bool IsReport(std::uint8_t st, std::uint8_t cop) {
  return st == ST_ERS && std::find(REPORT_EVENTS.begin(), REPORT_EVENTS.end(), cop) != REPORT_EVENTS.end();
}

TReport ReadReport(std::uint8_t ecr, std::uint8_t code, std::string_view text, const TCharset& charset,
                   std::chrono::system_clock::time_point received) {
  TReport r;
  r.Ecr = ecr;
  r.Code = code;
  r.Event = std::string(EventName(ST_ERS, code));
  r.Received = received;
  bool cut = false;
  const auto fields = SplitFields(text, cut);
  std::size_t first = 0, last = fields.size();  // the ECR's data: [first, last)
  if (last > first) r.Serial = charset.ToUtf8(fields[first++]);
  if (last > first) r.Block = WholeNumber<std::uint32_t>(fields[first++]);
  // The line and receipt numbers close a whole text; a cut one has lost them.
  if (!cut && last - first >= 2) {
    r.Line = WholeNumber<std::uint64_t>(fields[last - 2]);
    r.Receipt = WholeNumber<std::uint64_t>(fields[last - 1]);
    if (r.Line && r.Receipt) last -= 2;
    else r.Line = r.Receipt = std::nullopt;
  }
  for (std::size_t i = first; i < last; ++i) r.Fields.push_back(charset.ToUtf8(fields[i]));
  return r;
}

std::string ReportTopic(std::string_view shop, const TReport& report) {
  const std::string event = report.Event.empty() ? std::to_string(report.Code) : report.Event;
  return "kassiro/" + std::string(shop) + "/ecr/" + std::to_string(report.Ecr) + "/" + event;
}

std::string StateTopic(std::string_view shop) { return "kassiro/" + std::string(shop) + "/bridge/state"; }

std::string ReportJson(std::string_view shop, const TReport& r) {
  std::string out = "{\"shop\":";
  out += JsonString(shop);
  out += ",\"ecr\":" + std::to_string(r.Ecr) + ",\"serial\":";
  out += JsonString(r.Serial);
  out += ",\"event\":";
  out += JsonString(r.Event);
  out += ",\"code\":" + std::to_string(r.Code) + ",\"block\":";
  AppendNumber(out, r.Block);
  out += ",\"fields\":[";
  for (std::size_t i = 0; i < r.Fields.size(); ++i) {
    if (i > 0) out += ',';
    out += JsonString(r.Fields[i]);
  }
  out += "],\"line\":";
  AppendNumber(out, r.Line);
  out += ",\"receipt\":";
  AppendNumber(out, r.Receipt);
  if (r.Seq) out += ",\"seq\":" + std::to_string(*r.Seq);
  out += ",\"received\":";
  out += JsonString(IsoTime(r.Received));
  out += '}';
  return out;
}

bool ValidShopId(std::string_view shop) {
  return !shop.empty() && shop.size() <= 64 && std::none_of(shop.begin(), shop.end(), [](char c) {
    return c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
}

}  // namespace kassiro::bridge
