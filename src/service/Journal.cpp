#include "service/Journal.h"

#include <array>
#include <string>
#include <utility>

namespace kassiro {

namespace {

using platform::TJournalLevel;

struct TPriorityRule {
  std::string_view Fragment;
  TJournalLevel Priority;
};

// The first rule whose fragment the line contains gives its priority; lines that match
// none are news (Info).
constexpr std::array<TPriorityRule, 10> PRIORITY_RULES = {{
    {"EXCEPTION in ", TJournalLevel::Error},
    {"Unable to ", TJournalLevel::Error},
    {"Unsupported speed", TJournalLevel::Error},
    {"could not", TJournalLevel::Warning},
    {" failed", TJournalLevel::Warning},
    {"fail !", TJournalLevel::Warning},
    {"SndErr", TJournalLevel::Warning},
    {"RcvErr", TJournalLevel::Warning},
    {"error", TJournalLevel::Warning},
    {"lost", TJournalLevel::Warning},
}};

}  // namespace

TJournalLevel JournalPriority(std::string_view text, TLogModes modes) {
  if ((modes & LogModeBit(TLogMode::lmError)) != 0) return TJournalLevel::Error;
  if (modes != 0) return TJournalLevel::Debug;
  for (const auto& rule : PRIORITY_RULES) {
    if (text.find(rule.Fragment) != std::string_view::npos) return rule.Priority;
  }
  return TJournalLevel::Info;
}

void MirrorLogToJournal(std::string_view identifier) {
  ProgramLog().SetMirror([id = std::string(identifier)](std::string_view text, TLogModes modes) {
    std::string message(text);
    std::erase(message, '\r');  // the file's line ends; the journal keeps plain newlines
    platform::JournalLine(id, message, JournalPriority(text, modes));
  });
}

}  // namespace kassiro
