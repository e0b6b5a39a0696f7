// Runs ecrclient's lines over a connection, one at a time, and keeps score.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "ecrclient/ClientConnection.h"
#include "ecrclient/ScriptLine.h"
#include "ecrclient/Transcript.h"

namespace kassiro::client {

struct TRunOptions {
  std::chrono::milliseconds ExpectTimeout{5000};  // for an expect without its own
  bool KeepGoing = false;                          // report failures and go on
};

inline constexpr char NOTHING_SENT[] = "; nothing sent";

// 'argument 2 "XYZ REQ 7": unknown set 'XYZ'; nothing sent'
std::string LineProblem(std::string_view where, std::string_view line, std::string_view problem);

class TScriptRunner {
 public:
  TScriptRunner(TClientConnection& connection, TTranscript& transcript, TRunOptions options);

  // Runs one line; where names it in messages ("line 3", "argument 2"). Returns false
  // when the session ends here: quit, or a failure without keep-going.
  bool Run(std::string_view line, std::string_view where);
  // Reports a line that does not parse; returns false unless going on after failures.
  bool Reject(std::string_view line, std::string_view where, const TLineError& error);
  bool Failed() const { return failed_; }
  bool Quit() const { return quit_; }

 private:
  bool Fail(std::string_view line, std::string_view where, std::string_view problem);
  bool Send(std::string bytes, std::string_view line, std::string_view where,
            std::function<void()> announce);
  bool Await(const TExpect& expect, std::string_view line, std::string_view where);

  TClientConnection& connection_;
  TTranscript& transcript_;
  TRunOptions options_;
  bool failed_ = false;
  bool quit_ = false;
};

}  // namespace kassiro::client
