#include "service/TraceRequest.h"

#include <chrono>

#include "util/WholeNumber.h"

namespace kassiro {

std::optional<int> ParseTraceSeconds(std::string_view text) {
  const auto seconds = WholeNumber<int>(text);
  if (!seconds || *seconds < 1 || *seconds > TRACE_MAX_SECONDS) return std::nullopt;
  return seconds;
}

std::string EncodeTraceAnswer(const TTraceAnswer& a) { return (a.Started ? "+" : "-") + a.Text; }

TTraceAnswer DecodeTraceAnswer(std::string_view answer) {
  if (answer.empty() || (answer[0] != '+' && answer[0] != '-')) {
    return {false, "unexpected answer: " + std::string(answer)};
  }
  return {answer[0] == '+', std::string(answer.substr(1))};
}

TTraceAnswer StartLineTrace(TKassiroServer& server, std::string_view seconds) {
  const auto secs = ParseTraceSeconds(seconds);
  if (!secs) {
    return {false, "kassirod: -Trace:" + std::string(seconds) + ": expected a number of seconds from 1 to " +
                       std::to_string(TRACE_MAX_SECONDS)};
  }
  const std::string port = server.PortName();
  const std::string about = "port " + (port.empty() ? std::string("(none)") : port) + ", " +
                            std::to_string(server.LineSpeed()) + " bit/s";
  const std::filesystem::path path = server.TracePath();
  const std::string error = server.LineTrace().Start(path, std::chrono::seconds(*secs), about);
  if (!error.empty()) return {false, "kassirod: no line trace: " + error};
  return {true, "Tracing the line to " + path.string() + " for " + std::to_string(*secs) + " s."};
}

}  // namespace kassiro
