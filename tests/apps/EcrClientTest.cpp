// ecrclient: the line parser, the decoded lines, and whole sessions of the built
// program against a small answering server on loopback.
#include <gtest/gtest.h>

#include <asio.hpp>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ecrclient/ScriptLine.h"
#include "ecrclient/Transcript.h"
#include "ecrclient/Wire.h"

extern char** environ;

namespace kassiro::client {
namespace {

using std::string_literals::operator""s;

std::string MessageOf(const TScriptLine& line) {
  if (const auto* m = std::get_if<TSendMessage>(&line)) return m->Message.str();
  if (const auto* e = std::get_if<TLineError>(&line)) return "error: " + e->Problem;
  return "not a message";
}

// ---- the line parser -------------------------------------------------------------------

TEST(EcrClientLine, RequestsBecomeExactlyTheirMessageBytes) {
  const std::string longest(250, 'x');
  const struct {
    std::string line;
    std::string bytes;
  } cases[] = {
      {"ST_RPR COP_REQ 7 secret;", "\x05\x01\x00\x07\x00secret;"s},
      {"RPR REQ 7", "\x05\x01\x00\x07\x00"s},
      {"5 1 7 ", "\x05\x01\x00\x07\x00"s},                    // one blank, then an empty text
      {"RPR REQ 7  two ", "\x05\x01\x00\x07\x00 two "s},      // the rest after one blank, as is
      {"  ECP\tANSWER   3 a\\x01b\\\\c\\nd", "\x09\x04\x00\x03\x00" "a\x01" "b\\c\nd"s},
      {"RPR REQ 7 \\xff\\x00;", "\x05\x01\x00\x07\x00\xFF\x00;"s},
      {"REC NMBR 99 x", "\x0D\x0C\x00\x63\x00x"s},
      {"ST_ERS COP_PERC 1 5;", "\x01\x08\x00\x01\x00" "5;"s},
      {"RPR REQ 7 pw;\r", "\x05\x01\x00\x07\x00pw;"s},        // a script saved with CRLF
      {"ESR REQ 2 " + longest, "\x0B\x01\x00\x02\x00"s + longest},
      {"ESR REQ 2 " + std::string(200, 'x') + std::string(100, '\\'),
       "\x0B\x01\x00\x02\x00"s + std::string(200, 'x') + std::string(50, '\\')},
      {"frame 16 1 2 5 0", "\x10\x01\x02\x05\x00"s},
      {"frame ECP KPQ 0 0 0xFF t", "\x09\x80\x00\x00\xFFt"s},
      {"frame 0 0 0 255 0", "\x00\x00\x00\xFF\x00"s},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MessageOf(ParseLine(c.line)), c.bytes) << c.line;
  }
}

TEST(EcrClientLine, MistakesAreRefusedWithTheirProblemNamed) {
  const struct {
    std::string line;
    std::string problem;
  } cases[] = {
      {"XYZ REQ 7", "unknown set 'XYZ'"},
      {"rpr REQ 7", "unknown set 'rpr'"},
      {"0 REQ 7", "unknown set '0'"},
      {"15 REQ 7", "unknown set '15'"},
      {"RPR FOO 7", "unknown operation 'FOO'"},
      {"RPR 13 7", "unknown operation '13'"},
      {"RPR KPQ 7", "unknown operation 'KPQ'"},
      {"RPR", "the operation is missing"},
      {"RPR REQ", "the ECR number is missing"},
      {"RPR REQ 0", "ECR '0' is not a number 1..99"},
      {"RPR REQ 100 x", "ECR '100' is not a number 1..99"},
      {"RPR REQ 7x", "ECR '7x' is not a number 1..99"},
      {"RPR REQ -1", "ECR '-1' is not a number 1..99"},
      {"RPR REQ 7 " + std::string(251, 'x'), "the text is 251 bytes long, at most 250 fit"},
      {"RPR REQ 7 " + std::string(100, 'x') + std::string(102, '\\') + std::string(100, 'x'),
       "the text is 251 bytes long, at most 250 fit"},  // escapes count as the bytes they stand for
      {"RPR REQ 7 a\\q", "bad escape '\\q'"},
      {"RPR REQ 7 a\\x4", "bad escape '\\x4'"},
      {"RPR REQ 7 a\\xG0", "bad escape '\\xG0'"},
      {"RPR REQ 7 a\\", "bad escape '\\'"},
      {"RPR REQ 7 \\t", "bad escape '\\t'"},
      {"raw", "raw needs at least one byte"},
      {"raw 0g", "raw bytes are pairs of hex digits: '0g'"},
      {"raw 05 123", "raw bytes are pairs of hex digits: '123'"},
      {"frame 1 1 0", "the ECR byte is missing"},
      {"frame 1 1 0 256 0", "bad ECR byte '256'"},
      {"frame 1 1 0 7 0 a\\z", "bad escape '\\z'"},
      {"expect RPR", "expect needs a set and a code"},
      {"expect XYZ REQ", "unknown set 'XYZ'"},
      {"expect RPR FOO", "unknown operation or event code 'FOO'"},
      {"expect RPR REQ x", "ECR 'x' is not a number"},
      {"expect RPR REQ 7 5s", "time-out '5s' is not a number of ms"},
      {"expect RPR REQ 7 100 9", "expect takes at most"},
      {"sleep", "sleep takes one number of ms"},
      {"sleep -5", "sleep takes one number of ms"},
      {"sleep 5 6", "sleep takes one number of ms"},
      {"quit now", "quit takes nothing after it"},
  };
  for (const auto& c : cases) {
    const TScriptLine parsed = ParseLine(c.line);
    const auto* error = std::get_if<TLineError>(&parsed);
    ASSERT_NE(error, nullptr) << c.line;
    EXPECT_NE(error->Problem.find(c.problem), std::string::npos) << c.line << " -> " << error->Problem;
  }
}

TEST(EcrClientLine, ScriptCommandsAndTheirCodes) {
  const auto expect = [](std::string_view line) {
    const TScriptLine parsed = ParseLine(line);
    EXPECT_TRUE(std::holds_alternative<TExpect>(parsed)) << line;
    return std::holds_alternative<TExpect>(parsed) ? std::get<TExpect>(parsed) : TExpect{};
  };
  const TExpect kpq = expect("expect ST_ECP KPQ 3");
  EXPECT_EQ(kpq.St, 9);
  EXPECT_EQ(kpq.Code, 0x80);
  EXPECT_EQ(kpq.Ecr, 3);
  EXPECT_FALSE(kpq.TimeoutMs);

  const TExpect any = expect("expect ESR KSR_Q * 2500");
  EXPECT_EQ(any.St, 11);
  EXPECT_EQ(any.Code, 0x80);
  EXPECT_FALSE(any.Ecr);
  EXPECT_EQ(any.TimeoutMs, 2500u);

  EXPECT_EQ(expect("expect PCS SND_R").Code, 0xA0);
  EXPECT_EQ(expect("expect 16 1 0").St, 16);  // the server echoes odd heads in its error answers
  EXPECT_EQ(expect("expect RPR 0x04").Code, 4);
  EXPECT_EQ(expect("expect RPR ANSWER").Code, 4);

  EXPECT_EQ(std::get<TSleep>(ParseLine("sleep 250")).Ms, 250u);
  EXPECT_TRUE(std::holds_alternative<TQuit>(ParseLine(" quit ")));
  EXPECT_EQ(std::get<TSendRaw>(ParseLine("raw 05 0501 00aB")).Bytes, "\x05\x05\x01\x00\xAB"s);
  for (const char* nothing : {"", "   ", "#", "# RPR REQ 7", "  #x", "\r"}) {
    EXPECT_TRUE(std::holds_alternative<TNothing>(ParseLine(nothing))) << nothing;
  }

  EXPECT_TRUE(Matches(kpq, Decode("\x09\x80\x00\x03\x00x"s)));
  EXPECT_FALSE(Matches(kpq, Decode("\x09\x80\x00\x04\x00x"s)));  // another ECR
  EXPECT_FALSE(Matches(kpq, Decode("\x0A\x80\x00\x03\x00x"s)));  // the listening set
  EXPECT_TRUE(Matches(any, Decode("\x0B\x80\x00\x63\x00"s)));
  EXPECT_EQ(Describe(kpq), "ST_ECP(9) KPQ(0x80) ecr=3");
  EXPECT_EQ(Describe(any), "ST_ESR(11) KSR_Q(0x80) ecr=*");
}

// ---- the decoded lines -----------------------------------------------------------------

TEST(EcrClientOutput, EachMessageIsOneDecodedLine) {
  const struct {
    std::string message;
    std::string line;
  } cases[] = {
      {"\x05\x01\x00\x07\x00"s, R"(<- ST_RPR(5) COP_REQ(1) ecr=7 err=ERR_NO_ERROR(0) "")"},
      {"\x09\x80\x00\x03\x00" "12;\x01;"s, R"(<- ST_ECP(9) KPQ(0x80) ecr=3 err=ERR_NO_ERROR(0) "12;\x01;")"},
      {"\x01\x80\x00\x03\x00"s, R"(<- ST_ERS(1) PLU_R(0x80) ecr=3 err=ERR_NO_ERROR(0) "")"},
      {"\x0D\xA0\x00\x05\x00"s, R"(<- ST_REC(13) SND_R(0xA0) ecr=5 err=ERR_NO_ERROR(0) "")"},
      {"\x05\x07\x00\x07\x65"s, R"(<- ST_RPR(5) COP_PHASE(7) ecr=7 phase=NOT_SENDED(101) "")"},
      {"\x05\x07\x00\x07\x00"s, R"(<- ST_RPR(5) COP_PHASE(7) ecr=7 phase=NO_PHASE(0) "")"},
      {"\x05\x07\x00\x07\x04"s, R"(<- ST_RPR(5) COP_PHASE(7) ecr=7 err=ERR_NOT_YOURS(4) "")"},
      {"\x01\x04\x00\x02\x06"s,
       R"(<- ST_ERS(1) COP_ANSWER/COP_SELL/COP_REPORT(4) ecr=2 err=ERR_TOO_LATE(6) "")"},
      {"\x10\x0D\x02\x00\x13"s, R"(<- 16 13 port=2 ecr=0 err=ERR_UNKNOWN_SET(19) "")"},
      {"\x09\x85\x00\x03\x63"s, R"(<- ST_ECP(9) 0x85 ecr=3 err=99 "")"},
      {"\x05\x04\x00\x07\xFF" "a\\b\"c\xFF\n"s,
       R"(<- ST_RPR(5) COP_ANSWER/COP_SELL/COP_REPORT(4) ecr=7 err=ERR_UNKNOWN(255) "a\\b\x22c\xFF\x0A")"},
      {"\x05\x01"s, R"(<- ST_RPR(5) COP_REQ(1) ecr=0 err=ERR_NO_ERROR(0) "" (short message: 2 bytes))"},
      {""s, R"(<- 0 0 ecr=0 err=ERR_NO_ERROR(0) "" (short message: 0 bytes))"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatMessage(RECEIVED_ARROW, c.message, false), c.line);
  }
  EXPECT_EQ(FormatMessage(SENT_ARROW, "\x05\x05\x00\x07\x00"s, true),
            R"(-> ST_RPR(5) COP_FORBID/COP_PRINT(5) ecr=7 err=ERR_NO_ERROR(0) "" [05 05 05 00 07 00])");
}

TEST(EcrClientOutput, PrintedTextTypesBackAsTheSameBytes) {
  std::string every;
  for (int b = 0; b < 250; ++b) every += static_cast<char>(b + 6);  // wraps past 0xFF to 0x00..
  const std::string line = "RPR ANSWER 7 " + EscapeText(every);
  EXPECT_EQ(MessageOf(ParseLine(line)), "\x05\x04\x00\x07\x00"s + every);
}

TEST(EcrClientOutput, TranscriptLabelsAndFlushesEveryLine) {
  std::ostringstream out;
  std::ostringstream err;
  TTranscript transcript(out, err, "till1", false);
  transcript.Sent("\x05\x01\x00\x07\x00pw;"s);
  transcript.SentRaw("\x05\x01"s);
  transcript.Received("\x05\x01\x00\x07\x02"s);
  transcript.Problem("the server closed the connection");
  EXPECT_EQ(out.str(),
            "[till1] -> ST_RPR(5) COP_REQ(1) ecr=7 err=ERR_NO_ERROR(0) \"pw;\"\n"
            "[till1] -> raw 05 01\n"
            "[till1] <- ST_RPR(5) COP_REQ(1) ecr=7 err=ERR_TAKEN(2) \"\"\n");
  EXPECT_EQ(err.str(), "[till1] ecrclient: the server closed the connection\n");
}

// ---- whole sessions of the built program -----------------------------------------------

// Accepts one client on loopback and answers each of its messages with what `answer`
// returns (several frames at once, or nothing); nullopt closes the connection.
class TAnswerServer {
 public:
  using TAnswer = std::function<std::optional<std::string>(std::string_view message)>;

  explicit TAnswerServer(TAnswer answer) : answer_(std::move(answer)) {
    acceptor_.async_accept(socket_, [this](const asio::error_code& ec) {
      if (ec) return;
      {
        const std::lock_guard lock(mutex_);
        accepted_ = true;
      }
      Read();
    });
    thread_ = std::thread([this] { io_.run(); });
  }
  ~TAnswerServer() {
    io_.stop();
    thread_.join();
  }

  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }

  // Everything the client sent, once it has closed the connection (or after 10 s).
  std::string ReceivedWhenClosed() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return closed_; });
    return received_;
  }
  bool Accepted() {
    const std::lock_guard lock(mutex_);
    return accepted_;
  }

 private:
  void Read() {
    socket_.async_read_some(asio::buffer(buffer_), [this](const asio::error_code& ec, std::size_t n) {
      if (ec) return Closed();
      const std::lock_guard lock(mutex_);
      received_.append(buffer_.data(), n);
      pending_.append(buffer_.data(), n);
      while (!pending_.empty() && pending_.size() > static_cast<std::uint8_t>(pending_[0])) {
        const std::size_t length = static_cast<std::uint8_t>(pending_[0]);
        const auto reply = answer_(std::string_view(pending_).substr(1, length));
        pending_.erase(0, 1 + length);
        if (!reply) return socket_.close();
        if (!reply->empty()) asio::write(socket_, asio::buffer(*reply));
      }
      Read();
    });
  }
  void Closed() {
    {
      const std::lock_guard lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

  TAnswer answer_;
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_{io_, {asio::ip::make_address("127.0.0.1"), 0}};
  asio::ip::tcp::socket socket_{io_};
  std::array<char, 512> buffer_{};
  std::string pending_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string received_;
  bool accepted_ = false;
  bool closed_ = false;
};

struct TRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

// The built ecrclient as a child process with pipes on stdin, stdout and stderr.
class TClientProcess {
 public:
  explicit TClientProcess(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      posix_spawn_file_actions_addclose(&actions, fd);
    }
    std::vector<std::string> all{ECRCLIENT_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, ECRCLIENT_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err[1]}) close(fd);
    input_ = in[1];
    fds_[0] = {out[0], POLLIN, 0};
    fds_[1] = {err[0], POLLIN, 0};
    if (spawned != 0) throw std::runtime_error("posix_spawn " + std::string(ECRCLIENT_PATH));
  }
  ~TClientProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Finish();
    }
  }

  void Write(std::string_view text) {
    if (write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      ADD_FAILURE() << "writing ecrclient's stdin";
    }
  }
  void CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }
  // Reads stdout until it holds n complete lines; false if they don't come within 20 s.
  bool WaitForLines(std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::count(run_.Out.begin(), run_.Out.end(), '\n') < static_cast<std::ptrdiff_t>(n)) {
      if (std::chrono::steady_clock::now() > deadline || !ReadSome()) return false;
    }
    return true;
  }
  // Closes stdin, reads everything until the program ends (killing it after 60 s).
  TRun Finish() {
    CloseInput();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ReadSome()) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        ADD_FAILURE() << "ecrclient did not end";
        break;
      }
    }
    for (auto& f : fds_) {
      if (f.fd >= 0) close(f.fd);
      f.fd = -1;
    }
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    run_.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run_;
  }

 private:
  // Waits up to 100 ms for output and takes it; false once both outputs have ended.
  bool ReadSome() {
    if (fds_[0].fd < 0 && fds_[1].fd < 0) return false;
    if (poll(fds_.data(), fds_.size(), 100) <= 0) return true;
    std::string* into[2] = {&run_.Out, &run_.Err};
    for (std::size_t i = 0; i < fds_.size(); ++i) {
      if (fds_[i].fd < 0 || fds_[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = read(fds_[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        into[i]->append(chunk, static_cast<std::size_t>(n));
      } else {
        close(fds_[i].fd);
        fds_[i].fd = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int input_ = -1;
  std::array<pollfd, 2> fds_{};
  TRun run_;
};

TRun RunClient(const std::vector<std::string>& args, const std::string& input = "") {
  TClientProcess client(args);
  client.Write(input);
  return client.Finish();
}

std::string Framed(std::initializer_list<std::string> messages) {
  std::string out;
  for (const auto& m : messages) out += Frame(m);
  return out;
}

const std::string TAKE_RPR = "\x05\x01\x00\x07\x00pw;"s;
const std::string RPR_TAKEN = "\x05\x01\x00\x07\x00"s;
const std::string KPQ_EVENT = "\x09\x80\x00\x03\x00" "12;\x01;"s;
const std::string RPR_PHASE = "\x05\x07\x00\x07\x00"s;

// Answers like a server with one ECR that raises a query as soon as a set is taken.
std::optional<std::string> Answer(std::string_view message) {
  if (message == TAKE_RPR) return Framed({RPR_TAKEN, KPQ_EVENT});
  if (message == RPR_PHASE) return Framed({"\x05\x07\x00\x07\x65"s});
  if (message.size() >= 5 && message[0] == '\x10') {
    std::string error(message.substr(0, 5));
    error[4] = '\x13';
    return Frame(error);
  }
  return std::string();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(EcrClientSession, ArgumentsAreSentAndEveryMessagePrinted) {
  TAnswerServer server(Answer);
  const TRun run = RunClient({"--port", std::to_string(server.Port()), "--name", "till",
                              "--timeout", "20000",
                              "RPR REQ 7 pw;",
                              "expect RPR REQ 7",
                              "expect ST_ECP KPQ 3",
                              "# odd bytes, deliberately",
                              "frame 16 1 2 5 0",
                              "expect 16 REQ 5",
                              "raw 05 05 07 00 07 00",
                              "expect RPR PHASE 7",
                              "quit"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(Lines(run.Out), (std::vector<std::string>{
      R"([till] -> ST_RPR(5) COP_REQ(1) ecr=7 err=ERR_NO_ERROR(0) "pw;")",
      R"([till] <- ST_RPR(5) COP_REQ(1) ecr=7 err=ERR_NO_ERROR(0) "")",
      R"([till] <- ST_ECP(9) KPQ(0x80) ecr=3 err=ERR_NO_ERROR(0) "12;\x01;")",
      R"([till] -> 16 COP_REQ(1) port=2 ecr=5 err=ERR_NO_ERROR(0) "")",
      R"([till] <- 16 COP_REQ(1) port=2 ecr=5 err=ERR_UNKNOWN_SET(19) "")",
      R"([till] -> raw 05 05 07 00 07 00)",
      R"([till] <- ST_RPR(5) COP_PHASE(7) ecr=7 phase=NOT_SENDED(101) "")",
  }));
  EXPECT_EQ(server.ReceivedWhenClosed(),
            Framed({TAKE_RPR, "\x10\x01\x02\x05\x00"s}) + "\x05\x05\x07\x00\x07\x00"s);
}

TEST(EcrClientSession, AMistypedStdinLineSendsNothingAndEndsTheScript) {
  TAnswerServer server(Answer);
  const TRun run = RunClient({"--port", std::to_string(server.Port()), "--timeout", "20000"},
                             "# take the set\n"
                             "RPR REQ 7 pw;\n"
                             "expect RPR REQ 7\n"
                             "sleep 1\n"
                             "RPR FOO 7\n"
                             "RPR DISC 7\n");
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Err,
            "ecrclient: line 5 \"RPR FOO 7\": unknown operation 'FOO'; nothing sent\n");
  EXPECT_EQ(Lines(run.Out).size(), 3u) << run.Out;  // the request, its answer, the query
  EXPECT_EQ(server.ReceivedWhenClosed(), Frame(TAKE_RPR));
}

TEST(EcrClientSession, LinesArePrintedWhileTheClientStillWaitsForInput) {
  TAnswerServer server(Answer);
  TClientProcess client({"--port", std::to_string(server.Port()), "--linger", "0"});
  client.Write("RPR REQ 7 pw;\n");
  EXPECT_TRUE(client.WaitForLines(3));  // the request, its answer and the query, live
  client.Write("RPR PHASE 7\nexpect RPR PHASE 7 20000\n");
  EXPECT_TRUE(client.WaitForLines(5));
  const TRun run = client.Finish();
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(Lines(run.Out).back(), R"(<- ST_RPR(5) COP_PHASE(7) ecr=7 phase=NOT_SENDED(101) "")");
}

TEST(EcrClientSession, AMistypedArgumentStopsBeforeConnecting) {
  TAnswerServer server(Answer);
  const TRun run = RunClient({"--port", std::to_string(server.Port()), "RPR REQ 7 pw;",
                              "RPR REQ 100"});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Err,
            "ecrclient: argument 2 \"RPR REQ 100\": ECR '100' is not a number 1..99; nothing sent\n");
  EXPECT_EQ(run.Out, "");
  EXPECT_FALSE(server.Accepted());
}

TEST(EcrClientSession, AnExpectThatTimesOutFailsTheRunUnlessKeepGoing) {
  for (const bool keepGoing : {false, true}) {
    TAnswerServer server(Answer);
    std::vector<std::string> args{"--port", std::to_string(server.Port()), "--linger", "0",
                                  "RPR REQ 7 pw;", "expect ST_ECP KDQ 3 100", "RPR DISC 7"};
    if (keepGoing) args.insert(args.begin(), "--keep-going");
    const TRun run = RunClient(args);
    EXPECT_EQ(run.Status, 2) << keepGoing;
    EXPECT_EQ(run.Err,
              "ecrclient: argument 2 \"expect ST_ECP KDQ 3 100\": expected ST_ECP(9) KDQ(0x82) ecr=3, "
              "nothing like it came within 100 ms\n");
    const std::string disc = Frame("\x05\x02\x00\x07\x00"s);
    EXPECT_EQ(server.ReceivedWhenClosed(), Frame(TAKE_RPR) + (keepGoing ? disc : ""));
  }
}

TEST(EcrClientSession, AServerThatHangsUpEndsAWaitingExpect) {
  TAnswerServer server([](std::string_view) { return std::nullopt; });
  const TRun run = RunClient({"--port", std::to_string(server.Port()), "RPR REQ 7 pw;",
                              "expect RPR REQ 7 30000"});
  EXPECT_EQ(run.Status, 2);
  EXPECT_NE(run.Err.find("ecrclient: the server closed the connection\n"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("expected ST_RPR(5) COP_REQ(1) ecr=7, the connection closed before it came"),
            std::string::npos) << run.Err;
}

TEST(EcrClientSession, NoServerIsAConnectionFailure) {
  std::uint16_t port = 0;
  {
    asio::io_context io;
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
    port = probe.local_endpoint().port();
  }
  const TRun run = RunClient({"--port", std::to_string(port), "RPR REQ 7 pw;"});
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err.rfind("ecrclient: cannot connect to 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u)
      << run.Err;
}

}  // namespace
}  // namespace kassiro::client
