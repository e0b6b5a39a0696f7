#include "service/Journal.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <array>
#include <cstdlib>
#include <string>
#include <utility>

namespace kassiro {

namespace {

struct TPriorityRule {
  std::string_view Fragment;
  int Priority;
};

// The first rule whose fragment the line contains gives its priority; lines that match
// none are news (LOG_INFO).
constexpr std::array<TPriorityRule, 10> PRIORITY_RULES = {{
    {"EXCEPTION in ", LOG_ERR},
    {"Unable to ", LOG_ERR},
    {"Unsupported speed", LOG_ERR},
    {"could not", LOG_WARNING},
    {" failed", LOG_WARNING},
    {"fail !", LOG_WARNING},
    {"SndErr", LOG_WARNING},
    {"RcvErr", LOG_WARNING},
    {"error", LOG_WARNING},
    {"lost", LOG_WARNING},
}};

bool Set(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

}  // namespace

bool UnderSystemd() { return Set("INVOCATION_ID") || Set("JOURNAL_STREAM"); }

int JournalPriority(std::string_view text, TLogModes modes) {
  if ((modes & LogModeBit(TLogMode::lmError)) != 0) return LOG_ERR;
  if (modes != 0) return LOG_DEBUG;
  for (const auto& rule : PRIORITY_RULES) {
    if (text.find(rule.Fragment) != std::string_view::npos) return rule.Priority;
  }
  return LOG_INFO;
}

void MirrorLogToJournal(std::string_view identifier) {
  ProgramLog().SetMirror([id = std::string(identifier)](std::string_view text, TLogModes modes) {
    std::string message(text);
    std::erase(message, '\r');  // the file's line ends; the journal keeps plain newlines
    sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%i", JournalPriority(text, modes),
                    "SYSLOG_IDENTIFIER=%s", id.c_str(), nullptr);
  });
}

}  // namespace kassiro
