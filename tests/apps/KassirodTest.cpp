// kassirod as a program. Each test copies the built executable into a folder of its own
// (the program keeps its settings, INI and log files beside itself, and a copy in another
// folder is another program with its own quit channel), runs it against ecrsim on a
// pseudo-terminal, talks to it as a client over loopback and watches its log.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "Programs.h"
#include "core/SelfMsgs.h"
#include "TcpClient.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace kassiro::testing;
using TServer = TKassirod;

const fs::path BinDir = KASSIRO_BIN_DIR;

constexpr std::uint8_t ST_RPR = 5;
constexpr std::uint8_t COP_REQ = 1;

// A client message: the five head bytes and the text.
std::string Message(std::uint8_t st, std::uint8_t cop, std::uint8_t ecr, std::uint8_t err = 0,
                    const std::string& text = "") {
  return std::string{static_cast<char>(st), static_cast<char>(cop), 0, static_cast<char>(ecr),
                     static_cast<char>(err)} +
         text;
}

// Bytes as "05 01 00 03 00", or "(none)": readable in a failure message.
std::string Hex(const std::optional<std::string>& bytes) {
  if (!bytes) return "(none)";
  std::string out;
  for (const unsigned char c : *bytes) {
    char h[4];
    std::snprintf(h, sizeof h, "%02X", c);
    out += (out.empty() ? "" : " ") + std::string(h);
  }
  return out;
}

// Takes the report set of an ECR with an empty set password; the answer's bytes.
std::string TakeReportSet(TcpClient& client, std::uint8_t ecr) {
  if (!client.Send(Message(ST_RPR, COP_REQ, ecr))) return "(send failed)";
  return Hex(client.Next());
}

std::string Accepted(std::uint8_t ecr) { return Hex(Message(ST_RPR, COP_REQ, ecr, 0)); }

// The log's time stamp of a moment, in local time: " 5.03.2026 07:08:09".
std::string Stamp(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%2d.%.2d.%.4d %.2d:%.2d:%.2d", tm.tm_mday, tm.tm_mon + 1,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// True when line is the program's log line for text, stamped at a second in [from, to].
bool LoggedBetween(const std::string& line, const std::string& text, std::time_t from, std::time_t to) {
  for (std::time_t t = from; t <= to; ++t) {
    if (line == Stamp(t) + " kassirod: " + text) return true;
  }
  return false;
}

// True when line is the program's log line for text with a well-formed time stamp.
bool Logged(const std::string& line, const std::string& text) {
  static const std::regex stamp(R"(^[ 123]\d\.[01]\d\.\d{4} [012]\d:[0-5]\d:[0-5]\d kassirod: )");
  std::smatch m;
  return std::regex_search(line, m, stamp) && line.substr(m.length()) == text;
}

// The log text without the line of a failed priority raise, which a user without the
// right gets before anything else.
std::string WithoutPriorityFailure(const std::string& log) {
  return std::regex_replace(log, std::regex(".*SetPriorityClass fail ! LastError=\\d+\r\n"), "");
}

// The nice value of a running process (field 19 of /proc/PID/stat).
std::optional<int> NiceOf(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));  // from field 3, the state
  std::string f;
  for (int i = 3; i <= 19 && fields >> f; ++i) {
    if (i == 19) return std::stoi(f);
  }
  return std::nullopt;
}

class Kassirod : public ::testing::Test {
 protected:
  Kassirod() { fs::copy_file(BinDir / "kassirod", Exe()); }

  fs::path Exe() const { return Dir / "kassirod"; }
  fs::path SimLog() const { return Dir / "sim.log"; }
  std::string Log() const { return ReadFile(Dir / "kassirod.log"); }

  // The log's lines without their CR LF.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(Log());
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      lines.push_back(l);
    }
    return lines;
  }

  int CountInLog(const std::string& text) const {
    int n = 0;
    for (const auto& l : LogLines()) n += l.find(text) != std::string::npos;
    return n;
  }

  bool WaitForLog(const std::string& text) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; });
  }

  bool WaitForSim(const std::string& text) const {
    return WaitUntil([&] { return ReadFile(SimLog()).find(text) != std::string::npos; });
  }

  // ecrsim playing the given ECRs on a new pseudo-terminal, logging into SimLog().
  void StartSim(const std::vector<int>& ecrs) {
    Sim = StartEcrsim(BinDir / "ecrsim", SimLog(), ecrs);
  }

  std::vector<std::string> Command(const std::vector<std::string>& params) const {
    std::vector<std::string> args{Exe().string()};
    args.insert(args.end(), params.begin(), params.end());
    return args;
  }

  // Starts a copy and waits for its start line on stdout.
  TServer StartServer(const std::vector<std::string>& params) const { return StartKassirod(Command(params)); }

  TServer StartOnSim(std::vector<std::string> more = {}) const {
    more.insert(more.begin(), {"-Port:" + Sim.Port, "-IPPort:0"});
    return StartServer(more);
  }

  TRunResult Run(const std::vector<std::string>& params) const { return RunProgram(Command(params)); }

  TempDir Dir;  // first: it goes last, after every program in it has ended
  TEcrsim Sim;
};

TEST_F(Kassirod, StartsOnTheLineServesAClientAndClosesOnSigterm) {
  StartSim({3});
  const std::time_t before = std::time(nullptr);
  auto child = std::make_unique<TChild>(Command({"-Port:" + Sim.Port, "-IPPort:0"}));
  const auto m = child->WaitForLine(std::regex(R"(^(.*) Clients connect on TCP port (\d+)\.$)"));
  const std::time_t after = std::time(nullptr);
  ASSERT_TRUE(m) << child->Out << child->Err;
  const std::string startLine = (*m)[0];
  EXPECT_EQ((*m)[1], Title + " started on " + Sim.Port + ".");
  const auto tcpPort = static_cast<std::uint16_t>(std::stoi((*m)[2]));
  EXPECT_NE(tcpPort, 0);

  // The start line is logged before it is printed.
  auto lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(LoggedBetween(lines.back(), Title + " started on " + Sim.Port + ".", before, after))
      << lines.back();

  // Nobody uses an ECR yet: nothing is polled. A client's take puts ECR 3 into the polling.
  EXPECT_EQ(ReadFile(SimLog()).find("take"), std::string::npos);
  TcpClient client(tcpPort);
  EXPECT_EQ(TakeReportSet(client, 3), Accepted(3));
  EXPECT_TRUE(WaitForSim("] take 03\n")) << ReadFile(SimLog());

  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(), 0);
  EXPECT_EQ(child->Err, "");
  EXPECT_EQ(child->Out, startLine + "\n") << "one line on stdout";
  lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(Logged(lines.back(), Title + " closed by user.")) << lines.back();
  const std::string log = Log();
  EXPECT_TRUE(log.ends_with("\r\n"));
  EXPECT_FALSE(std::regex_search(log, std::regex("[^\r]\n"))) << "every line ends in CR LF";
  EXPECT_EQ(fs::file_size(Dir / "kassirod.STG"), 1370u);
}

TEST_F(Kassirod, SettingsFromTheCommandLineServeTheNextStart) {
  StartSim({3});
  const std::uint16_t tcpPort = FreeTcpPort();
  {
    TServer first =
        StartOnSim({"-IPPort:" + std::to_string(tcpPort), "-Password:secret", "-LanguageID:3"});
    EXPECT_EQ(first.TcpPort, tcpPort);
    EXPECT_NE(ReadFile(Dir / "kassirod.INI").find("LanguageID=3"), std::string::npos);
    first.Child->Signal(SIGINT);
    EXPECT_EQ(first.Child->Wait(), 0);
  }
  // A port name of more than six characters is not stored: it must be given again.
  std::vector<std::string> params;
  if (Sim.Port.size() > 6) params.push_back("-Port:" + Sim.Port);
  TServer second = StartServer(params);
  EXPECT_EQ(second.Port, Sim.Port);
  EXPECT_EQ(second.TcpPort, tcpPort);
  TcpClient client(tcpPort);
  EXPECT_EQ(TakeReportSet(client, 3), Accepted(3));

  const TRunResult quit = Run({"-Q:secret"});  // the stored password
  EXPECT_EQ(quit.Exit, 0);
  EXPECT_EQ(second.Child->Wait(), 0);
  EXPECT_EQ(CountInLog(Title + " closed by user."), 2) << Log();
}

TEST_F(Kassirod, QuitRequestWithTheRightPasswordClosesTheRunningCopy) {
  StartSim({3});
  TServer server = StartOnSim({"-Password:secret"});

  const TRunResult quit = Run({"-Q:secret"});
  EXPECT_EQ(quit.Exit, 0);
  EXPECT_EQ(quit.Out, "");
  EXPECT_EQ(quit.Err, "");

  EXPECT_EQ(server.Child->Wait(), 0);
  EXPECT_EQ(server.Child->Err, "");
  const auto lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(Logged(lines.back(), Title + " closed by user.")) << Log();
  EXPECT_EQ(CountInLog(" started on "), 1) << "the quit request started nothing\n" << Log();
}

TEST_F(Kassirod, QuitRequestWithAWrongPasswordChangesNothing) {
  StartSim({3});
  TServer server = StartOnSim({"-Password:secret"});
  const std::string logBefore = Log();

  // A copy in another folder has a channel of its own: even the right password does not
  // reach this one.
  TempDir otherDir;
  fs::copy_file(BinDir / "kassirod", otherDir / "kassirod");
  const std::vector<std::vector<std::string>> requests = {
      {Exe().string(), "-Q:Secret"},  {Exe().string(), "-Q:secre"},
      {Exe().string(), "-Q:secret "}, {Exe().string(), "-Q:"},
      {Exe().string(), "-Q"},         {(otherDir / "kassirod").string(), "-Q:secret"},
  };
  // The running copy answers a wrong password, and the sender says so.
  const std::string refused = "kassirod: wrong password: the running copy for " + Dir.path().string() + " goes on.\n";
  for (const auto& r : requests) {
    const bool here = r[0] == Exe().string();
    const TRunResult quit = RunProgram(r);
    EXPECT_EQ(quit.Exit, here ? 1 : 0) << r[0] << " " << r[1];
    EXPECT_EQ(quit.Out, "") << r[1];
    EXPECT_EQ(quit.Err, here ? refused : "") << r[1];
  }

  TcpClient client(server.TcpPort);
  EXPECT_EQ(TakeReportSet(client, 3), Accepted(3));
  EXPECT_TRUE(server.Child->Running());
  EXPECT_EQ(Log(), logBefore) << "nothing is logged for a refused request";

  server.Child->Signal(SIGTERM);
  EXPECT_EQ(server.Child->Wait(), 0);
}

TEST_F(Kassirod, AnEmptyPasswordIsMatchedByAnEmptyQuitRequest) {
  StartSim({3});
  for (const char* request : {"-Q:", "-Q"}) {
    SCOPED_TRACE(request);
    TServer server = StartOnSim({"-Password:"});
    const TRunResult quit = Run({request});
    EXPECT_EQ(quit.Exit, 0);
    EXPECT_EQ(server.Child->Wait(), 0);
    const auto lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(Logged(lines.back(), Title + " closed by user.")) << Log();
  }
}

TEST_F(Kassirod, ASecondCopyEndsSilentlyAndTouchesNothing) {
  StartSim({3});
  TServer first = StartOnSim({"-Password:secret"});
  const std::string settings = ReadFile(Dir / "kassirod.STG");
  const std::string log = Log();

  const TRunResult second = Run({"-Port:" + Sim.Port, "-IPPort:0", "-Password:other"});
  EXPECT_EQ(second.Exit, 0);
  EXPECT_EQ(second.Out, "");
  EXPECT_EQ(second.Err, "");
  EXPECT_EQ(Log(), log);
  EXPECT_EQ(ReadFile(Dir / "kassirod.STG"), settings) << "the second copy's parameters are not stored";

  // The first copy goes on as it was.
  TcpClient client(first.TcpPort);
  EXPECT_EQ(TakeReportSet(client, 3), Accepted(3));
  EXPECT_TRUE(first.Child->Running());
  EXPECT_EQ(Run({"-Q:other"}).Exit, 1);
  EXPECT_EQ(Run({"-Q:secret"}).Exit, 0);
  EXPECT_EQ(first.Child->Wait(), 0);
  EXPECT_EQ(CountInLog(" started on "), 1);
}

TEST_F(Kassirod, AStartThatFailsSaysWhyAndEnds) {
  struct TCase {
    std::vector<std::string> params;
    int exit;
    std::string error;
    bool logged;
  };
  // In this order: the settings of one case are stored for the next.
  const TCase cases[] = {
      // A character device, but no line: the start fails at the port.
      {{"-Port:/dev/full", "-IPPort:0"}, 1, "Unable to configure port /dev/full!", true},
      {{"-Port:ttyZZ9"}, 2, "Bad parameter: PORT:ttyZZ9 (no such device)", false},
      {{"-Speed:1000"}, 2, "Bad parameter: SPEED:1000 (speeds: 1200 2400 4800 9600 14400 19200 28800 38400)", false},
      {{"-Speed:fast"}, 2, "Bad parameter: SPEED:fast", false},
      {{"-IPPort:65536"}, 2, "Bad parameter: IPPORT:65536", false},
      {{"-SetPW:15:x"}, 2, "Bad parameter: SETPW:15:x", false},
      {{"-LanguageID:7"}, 2, "Bad parameter: LANGUAGEID:7", false},
      {{"-Verbose"}, 2, "Bad parameter: VERBOSE", false},
      // A password longer than the settings hold would be cut, and a quit request with
      // the password as given would never match it.
      {{"-Password:abcdefghij"}, 2, "Bad parameter: PASSWORD:abcdefghij", false},
      {{"-SetPW:5:abcdefghij"}, 2, "Bad parameter: SETPW:5:abcdefghij", false},
      // A refused command line changes no setting, not even those before the bad one.
      {{"-LanguageID:3", "-Password:new", "-Verbose"}, 2, "Bad parameter: VERBOSE", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const std::string logBefore = Log();
    const std::string settingsBefore = ReadFile(Dir / "kassirod.STG");
    const TRunResult r = Run(c.params);
    EXPECT_EQ(r.Exit, c.exit);
    EXPECT_EQ(r.Err, c.error + "\n");
    EXPECT_EQ(r.Out, "");
    if (c.logged) {
      const auto lines = LogLines();
      ASSERT_FALSE(lines.empty());
      EXPECT_TRUE(Logged(lines.back(), c.error)) << Log();
    } else {
      EXPECT_EQ(WithoutPriorityFailure(Log().substr(logBefore.size())), "") << Log();
      EXPECT_TRUE(ReadFile(Dir / "kassirod.STG") == settingsBefore) << "the settings were changed";
    }
  }
  EXPECT_EQ(CountInLog(" started on "), 0);
  EXPECT_FALSE(fs::exists(Dir / "kassirod.INI")) << "the code table was never set";
}

TEST_F(Kassirod, ATcpPortInUseDoesNotStopTheStart) {
  StartSim({3});
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const std::string port = std::to_string(ntohs(a.sin_port));

  auto child = std::make_unique<TChild>(Command({"-Port:" + Sim.Port, "-IPPort:" + port}));
  const auto m = child->WaitForLine(std::regex(R"(^(.*) started on (\S+)\. (.*)$)"));
  ASSERT_TRUE(m) << child->Out << child->Err;
  EXPECT_EQ((*m)[2], Sim.Port);
  EXPECT_EQ((*m)[3], "TCP port " + port + " could not be opened: Address already in use.");
  EXPECT_EQ(CountInLog(" kassirod: TCP server: Binding socket and address failed on port " + port +
                       ": Address already in use"),
            1)
      << Log();
  // The start went on: the quit channel answers.
  EXPECT_TRUE(child->Running());
  EXPECT_EQ(Run({"-Q:"}).Exit, 0);
  EXPECT_EQ(child->Wait(), 0);
  EXPECT_TRUE(Logged(LogLines().back(), Title + " closed by user.")) << Log();
  ::close(holder);
}

// Folders whose paths differ only in '/' against '_' once shared one channel: each now
// answers for itself.
TEST_F(Kassirod, FoldersThatLookAlikeAreServedByTheirOwnCopies) {
  StartSim({3});
  TEcrsim otherSim = StartEcrsim(BinDir / "ecrsim", Dir / "sim2.log", {4});
  const fs::path flat = Dir / "a_b";
  const fs::path nested = Dir / "a" / "b";
  fs::create_directories(flat);
  fs::create_directories(nested);
  const auto in = [](const fs::path& d, const std::string& p) { return std::vector<std::string>{"-Dir:" + d.string(), p}; };
  TServer a = StartServer({"-Dir:" + flat.string(), "-Port:" + Sim.Port, "-IPPort:0", "-Password:pa"});
  TServer b = StartServer({"-Dir:" + nested.string(), "-Port:" + otherSim.Port, "-IPPort:0", "-Password:pb"});
  EXPECT_TRUE(fs::is_socket(flat / "kassirod.sock"));
  EXPECT_TRUE(fs::is_socket(nested / "kassirod.sock"));

  for (const auto& [dir, port] : {std::pair{flat, Sim.Port}, std::pair{nested, otherSim.Port}}) {
    const TRunResult status = Run(in(dir, "-Status"));
    EXPECT_EQ(status.Exit, 0) << status.Err;
    EXPECT_TRUE(status.Out.starts_with(Title + "\nPort: " + port)) << dir << "\n" << status.Out;
  }
  // The password of the one folder stops nothing in the other.
  EXPECT_EQ(Run(in(nested, "-Q:pa")).Exit, 1);
  EXPECT_TRUE(a.Child->Running());
  EXPECT_TRUE(b.Child->Running());
  EXPECT_EQ(Run(in(nested, "-Q:pb")).Exit, 0);
  EXPECT_EQ(b.Child->Wait(), 0);
  EXPECT_FALSE(fs::exists(nested / "kassirod.sock")) << "the channel goes with its copy";
  EXPECT_TRUE(a.Child->Running());
  EXPECT_EQ(Run(in(flat, "-Q:pa")).Exit, 0);
  EXPECT_EQ(a.Child->Wait(), 0);
}

// Another local user can neither take the channel before the server starts (the old
// abstract name is no use to it, and the folder is not theirs to write) nor reach it
// while it runs: their flood of connections ends in the kernel, and quit, status and
// trace keep working for the server's own user.
TEST_F(Kassirod, AnotherUserCanNeitherTakeNorReachTheChannel) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  StartSim({3});
  ::chmod(Dir.path().c_str(), 0755);  // others may look in: only the socket keeps them out
  const std::string path = (Dir / "kassirod.sock").string();
  std::string oldName = fs::canonical(Exe()).string();
  std::replace(oldName.begin(), oldName.end(), '/', '_');
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t other = ::fork();
  if (other == 0) {
    // Exit 1 if anything was taken or reached, 3 if the test could not be set up.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(3);
    }
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, oldName.data(), std::min(oldName.size(), sizeof a.sun_path - 1));
    const int squat = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0);
    if (::bind(squat, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(squat, 8) != 0) ::_exit(3);
    sockaddr_un f{};
    f.sun_family = AF_UNIX;
    std::strncpy(f.sun_path, path.c_str(), sizeof f.sun_path - 1);
    if (::bind(::socket(AF_UNIX, SOCK_SEQPACKET, 0), reinterpret_cast<sockaddr*>(&f), sizeof f) == 0) ::_exit(1);
    if (::write(ready[1], "y", 1) != 1) ::_exit(3);
    char c;
    if (::read(done[0], &c, 1) != 1) ::_exit(3);
    for (int i = 0; i < 2000; ++i) {
      const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&f), sizeof f) == 0 || errno != EACCES) ::_exit(1);
      ::close(fd);
    }
    if (::accept4(squat, nullptr, nullptr, SOCK_NONBLOCK) >= 0) ::_exit(1);
    ::_exit(0);
  }
  ::close(ready[1]);  // a child that fails to set up ends the read below
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);

  TServer server = StartOnSim({"-Password:secret"});
  EXPECT_EQ(CountInLog("Quit channel"), 0) << Log();
  ASSERT_EQ(::write(done[1], "x", 1), 1);
  int status = 0;
  ::waitpid(other, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other user took or reached the channel";
  for (const int fd : {ready[0], done[0], done[1]}) ::close(fd);

  const TRunResult state = Run({"-Status"});
  EXPECT_EQ(state.Exit, 0) << state.Err;
  EXPECT_TRUE(state.Out.starts_with(Title + "\nPort: " + Sim.Port)) << state.Out;
  const TRunResult quit = Run({"-Q:secret"});
  EXPECT_EQ(quit.Exit, 0) << quit.Err;
  EXPECT_EQ(server.Child->Wait(), 0);
}

// A folder that other users may write is no place for the channel: the server runs
// without it and says why.
TEST_F(Kassirod, AFolderOthersMayWriteGetsNoChannel) {
  StartSim({3});
  fs::permissions(Dir.path(), fs::perms::all);
  TServer server = StartOnSim({"-Password:secret"});
  const std::string why = "Quit channel " + (Dir / "kassirod.sock").string() +
                          " could not be set up: other users may write into the folder " + Dir.path().string() +
                          " (mode 0777)";
  EXPECT_EQ(CountInLog(" kassirod: " + why), 1) << Log();
  EXPECT_FALSE(fs::exists(Dir / "kassirod.sock"));
  server.Child->Signal(SIGTERM);
  EXPECT_EQ(server.Child->Wait(), 0);
  // The start's warning about the open folder comes first; then the channel's reason.
  const std::string warning = "Warning: the folder " + Dir.path().string() +
                              " (mode 0777) may be written by other users; they could replace the server's files in it.";
  EXPECT_EQ(server.Child->Err, warning + "\n" + why + "\n");
  fs::permissions(Dir.path(), fs::perms::owner_all, fs::perm_options::replace);
}

TEST_F(Kassirod, SighupStopsAndStartsTheServerAgain) {
  StartSim({3, 7});
  const std::uint16_t tcpPort = FreeTcpPort();
  TServer server = StartOnSim({"-IPPort:" + std::to_string(tcpPort)});
  TcpClient before(tcpPort);
  EXPECT_EQ(TakeReportSet(before, 3), Accepted(3));

  server.Child->Signal(SIGHUP);
  ASSERT_TRUE(WaitForLog(" kassirod: Server restarted on " + Sim.Port + ".\r\n")) << Log();
  // The stop dropped the client: its connection has ended rather than gone quiet.
  EXPECT_FALSE(before.Next());
  EXPECT_FALSE(before.NothingWaiting()) << "the connection is still open";

  // The stop cleared what the client held, and polling runs again after the start.
  TcpClient after(tcpPort);
  EXPECT_EQ(TakeReportSet(after, 3), Accepted(3));
  EXPECT_EQ(TakeReportSet(after, 7), Accepted(7));
  EXPECT_TRUE(WaitForSim("] take 07\n"));
  EXPECT_TRUE(server.Child->Running());

  server.Child->Signal(SIGTERM);
  EXPECT_EQ(server.Child->Wait(), 0);
  EXPECT_EQ(CountInLog(" started on "), 1);
  EXPECT_TRUE(Logged(LogLines().back(), Title + " closed by user.")) << Log();
}

TEST_F(Kassirod, ARestartThatCannotOpenTheLineEndsWithTheReason) {
  StartSim({3});
  // The line under a name of our own, which we can take away.
  const fs::path line = Dir / "line";
  fs::create_symlink("/dev/" + Sim.Port, line);
  TServer server = StartServer({"-Port:" + line.string(), "-IPPort:0"});
  EXPECT_EQ(server.Port, line.string());

  fs::remove(line);
  server.Child->Signal(SIGHUP);
  EXPECT_EQ(server.Child->Wait(), 1);
  const std::string error = "Unable to open port " + line.string() + "!";
  EXPECT_EQ(server.Child->Err, error + "\n");
  const auto lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(Logged(lines.back(), error)) << Log();
}

TEST_F(Kassirod, ACopyThatWasKilledLeavesNothingInTheWayOfTheNext) {
  StartSim({3});
  {
    TServer killed = StartOnSim({"-Password:secret"});
    killed.Child->Signal(SIGKILL);
    EXPECT_FALSE(killed.Child->Wait());
  }
  // The settings file and the quit channel are free again.
  TServer next = StartOnSim();
  TcpClient client(next.TcpPort);
  EXPECT_EQ(TakeReportSet(client, 3), Accepted(3));
  EXPECT_EQ(Run({"-Q:secret"}).Exit, 0);
  EXPECT_EQ(next.Child->Wait(), 0);
  EXPECT_EQ(CountInLog(" started on "), 2);
  EXPECT_TRUE(Logged(LogLines().back(), Title + " closed by user.")) << Log();
}

// As root the priority goes up to the top; a user without the right gets the failure
// logged and the start goes on (here it then stops at the port).
TEST_F(Kassirod, RaisesItsPriorityOrLogsWhyNot) {
  const std::string failure = "SetPriorityClass fail ! LastError=13";
  if (::getuid() != 0) {
    const TRunResult r = Run({"-Port:/dev/zero", "-IPPort:0"});
    EXPECT_EQ(r.Exit, 1);
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 2u) << Log();
    EXPECT_TRUE(Logged(lines[0], failure)) << Log();
    EXPECT_TRUE(Logged(lines[1], "Unable to configure port /dev/zero!")) << Log();
    return;
  }
  StartSim({3});
  TServer server = StartOnSim();
  EXPECT_EQ(NiceOf(server.Child->Pid()), -20);
  EXPECT_EQ(Log().find("SetPriorityClass"), std::string::npos) << Log();
  server.Child->Signal(SIGTERM);
  EXPECT_EQ(server.Child->Wait(), 0);

  // The same program run by an unprivileged user, where setpriv can arrange it.
  if (!fs::exists("/usr/bin/setpriv")) return;
  TempDir userDir;
  fs::copy_file(BinDir / "kassirod", userDir / "kassirod");
  ASSERT_EQ(::chown(userDir.path().c_str(), 65534, 65534), 0);
  const TRunResult r = RunProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   (userDir / "kassirod").string(), "-Port:/dev/zero", "-IPPort:0"});
  EXPECT_EQ(r.Exit, 1) << r.Err;
  const std::string log = ReadFile(userDir / "kassirod.log");
  EXPECT_NE(log.find(" kassirod: " + failure + "\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" kassirod: Unable to configure port /dev/zero!\r\n"), std::string::npos) << log;
}

}  // namespace
