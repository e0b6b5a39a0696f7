// ecrclient: talks to a Kassiro server from the command line. Each argument is one
// request or script line (see ScriptLine.h); without arguments the lines come from
// stdin. Every message sent and received is printed as one decoded line.
//
// Exit status: 0 success, 1 no connection, 2 a line failed (bad line, expect timed out,
// send failed).
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "Version.h"
#include "core/KassiroConstants.h"
#include "ecrclient/ClientConnection.h"
#include "ecrclient/ScriptRunner.h"
#include "platform/Process.h"

namespace {

using namespace kassiro::client;

constexpr int EXIT_NO_CONNECTION = 1;
constexpr int EXIT_SCRIPT_FAILED = 2;

struct TOptions {
  std::string Host = "127.0.0.1";
  std::uint16_t Port = kassiro::SRV_DEF_IP_PORT;
  std::string Label;
  bool Raw = false;
  bool KeepGoing = false;
  unsigned LingerMs = 500;
  unsigned ExpectTimeoutMs = 5000;
  unsigned ConnectTimeoutMs = 5000;
  std::vector<std::string> Lines;
};

// Argument lines are all checked before connecting: a mistake in them sends nothing.
bool ArgumentsParse(const TOptions& o, TTranscript& transcript) {
  bool ok = true;
  for (std::size_t i = 0; i < o.Lines.size(); ++i) {
    const TScriptLine parsed = ParseLine(o.Lines[i]);
    if (const auto* e = std::get_if<TLineError>(&parsed)) {
      transcript.Problem(LineProblem("argument " + std::to_string(i + 1), o.Lines[i],
                                     e->Problem + NOTHING_SENT));
      ok = false;
    }
  }
  return ok;
}

void RunLines(const TOptions& o, TScriptRunner& runner) {
  if (!o.Lines.empty()) {
    for (std::size_t i = 0; i < o.Lines.size(); ++i) {
      if (!runner.Run(o.Lines[i], "argument " + std::to_string(i + 1))) return;
    }
    return;
  }
  std::string line;
  for (int number = 1; std::getline(std::cin, line); ++number) {
    if (!runner.Run(line, "line " + std::to_string(number))) return;
  }
}

int Session(const TOptions& o) {
  TTranscript transcript(std::cout, std::cerr, o.Label, o.Raw);
  if (!o.KeepGoing && !ArgumentsParse(o, transcript)) return EXIT_SCRIPT_FAILED;

  TClientConnection connection(transcript);
  if (auto problem = connection.Connect(o.Host, o.Port, std::chrono::milliseconds(o.ConnectTimeoutMs))) {
    transcript.Problem(*problem);
    return EXIT_NO_CONNECTION;
  }
  // Somebody typing at a terminal gets told about a mistake and goes on.
  const bool interactive = o.Lines.empty() && kassiro::platform::InputIsTerminal();
  TScriptRunner runner(connection, transcript,
                       {std::chrono::milliseconds(o.ExpectTimeoutMs), o.KeepGoing || interactive});
  RunLines(o, runner);
  if (!runner.Quit() && (!runner.Failed() || o.KeepGoing || interactive)) {
    connection.Linger(TClientConnection::TClock::now() + std::chrono::milliseconds(o.LingerMs));
  }
  connection.Close();
  return runner.Failed() ? EXIT_SCRIPT_FAILED : 0;
}

}  // namespace

int main(int argc, char** argv) {
  kassiro::platform::IgnoreBrokenPipes();  // a server that went away is reported, not fatal
  TOptions o;
  CLI::App app{"ecrclient: sends requests to a Kassiro server and prints every message, decoded.\n"
               "Lines: SET OP ECR [TEXT] | frame ST COP PORT ECR ERR [TEXT] | raw HEX... |\n"
               "       expect SET CODE [ECR|*] [TIMEOUT_MS] | sleep MS | quit | # comment"};
  app.set_version_flag("--version", std::string("ecrclient ") + kassiro::VERSION_TEXT);
  app.add_option("--host", o.Host, "server address")->capture_default_str();
  app.add_option("--port", o.Port, "server TCP port")->capture_default_str()->check(CLI::Range(1, 65535));
  app.add_option("--name", o.Label, "label in front of every printed line");
  app.add_flag("--raw", o.Raw, "also print each message's frame bytes in hex");
  app.add_option("--linger", o.LingerMs, "ms to keep printing after the last line")->capture_default_str();
  app.add_option("--timeout", o.ExpectTimeoutMs, "default time-out of expect, ms")->capture_default_str();
  app.add_option("--connect-timeout", o.ConnectTimeoutMs, "ms to wait for the connection")->capture_default_str();
  app.add_flag("--keep-going", o.KeepGoing, "report failed lines and go on (the exit status still says 2)");
  app.add_option("lines", o.Lines, "request and script lines; none: read lines from stdin");
  CLI11_PARSE(app, argc, argv);
  return Session(o);
}
