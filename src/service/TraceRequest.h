// `kassirod -Trace:SECONDS`: the number of seconds a later copy may ask for, and the
// answer of the running copy, which starts its line trace into the trace file beside
// its other files. The answer is a text for people behind one mark: '+' when the trace
// runs, '-' when it was refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "server/KassiroServer.h"

namespace kassiro {

inline constexpr int TRACE_MAX_SECONDS = 3600;

// 1..TRACE_MAX_SECONDS written in decimal digits only; nullopt for anything else.
std::optional<int> ParseTraceSeconds(std::string_view text);

struct TTraceAnswer {
  bool Started = false;
  std::string Text;  // what the requesting copy prints
};
std::string EncodeTraceAnswer(const TTraceAnswer& a);
TTraceAnswer DecodeTraceAnswer(std::string_view answer);

// The running copy's side: starts the server's trace for the seconds asked for.
TTraceAnswer StartLineTrace(TKassiroServer& server, std::string_view seconds);

}  // namespace kassiro
