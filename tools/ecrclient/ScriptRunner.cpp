#include "ecrclient/ScriptRunner.h"

#include <thread>
#include <utility>

namespace kassiro::client {

namespace {

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::string LineProblem(std::string_view where, std::string_view line, std::string_view problem) {
  return std::string(where) + " \"" + AsTyped(line) + "\": " + std::string(problem);
}

TScriptRunner::TScriptRunner(TClientConnection& connection, TTranscript& transcript,
                             TRunOptions options)
    : connection_(connection), transcript_(transcript), options_(options) {}

bool TScriptRunner::Run(std::string_view line, std::string_view where) {
  const TScriptLine parsed = ParseLine(line);
  return std::visit(
      Overloaded{
          [](const TNothing&) { return true; },
          [&](const TSendMessage& m) {
            return Send(Frame(m.Message), line, where, [&] { transcript_.Sent(m.Message); });
          },
          [&](const TSendRaw& r) {
            return Send(r.Bytes, line, where, [&] { transcript_.SentRaw(r.Bytes); });
          },
          [&](const TExpect& e) { return Await(e, line, where); },
          [](const TSleep& s) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.Ms));
            return true;
          },
          [&](const TQuit&) {
            quit_ = true;
            return false;
          },
          [&](const TLineError& e) { return Reject(line, where, e); },
      },
      parsed);
}

bool TScriptRunner::Reject(std::string_view line, std::string_view where, const TLineError& error) {
  return Fail(line, where, error.Problem + NOTHING_SENT);
}

bool TScriptRunner::Fail(std::string_view line, std::string_view where, std::string_view problem) {
  failed_ = true;
  transcript_.Problem(LineProblem(where, line, problem));
  return options_.KeepGoing;
}

bool TScriptRunner::Send(std::string bytes, std::string_view line, std::string_view where,
                         std::function<void()> announce) {
  if (auto problem = connection_.Send(std::move(bytes), announce)) return Fail(line, where, *problem);
  return true;
}

bool TScriptRunner::Await(const TExpect& expect, std::string_view line, std::string_view where) {
  const std::chrono::milliseconds timeout =
      expect.TimeoutMs ? std::chrono::milliseconds(*expect.TimeoutMs) : options_.ExpectTimeout;
  const auto outcome = connection_.WaitFor(
      [&](const TMessage& m) { return Matches(expect, m); },
      TClientConnection::TClock::now() + timeout);
  switch (outcome) {
    case TClientConnection::TWait::Matched:
      return true;
    case TClientConnection::TWait::TimedOut:
      return Fail(line, where, "expected " + Describe(expect) + ", nothing like it came within " +
                                   std::to_string(timeout.count()) + " ms");
    case TClientConnection::TWait::Closed:
      break;
  }
  return Fail(line, where, "expected " + Describe(expect) + ", the connection closed before it came");
}

}  // namespace kassiro::client
