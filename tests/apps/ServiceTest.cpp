// kassirod as a service: its files in a folder of its own (-Dir), the service manager's
// notifications through a datagram socket this test owns, the status and trace requests
// of a later copy, and the answers every program gives to --help and --version.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Process.h"
#include "Programs.h"
#include "TcpClient.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace kassiro::testing;

const fs::path BinDir = KASSIRO_BIN_DIR;
constexpr int DeadlineMs = 30000;  // generous: the machine may be busy

// ecrsim on a new pseudo-terminal; Port is its line's name.
struct TSim : TEcrsim {
  TSim(const fs::path& log, const std::vector<int>& ecrs) : TEcrsim(StartEcrsim(BinDir / "ecrsim", log, ecrs)) {}
  // With more of ecrsim's options, such as faults.
  TSim(const fs::path& log, const std::vector<int>& ecrs, const std::vector<std::string>& extra)
      : TEcrsim(StartEcrsim([&] {
          std::vector<std::string> args{(BinDir / "ecrsim").string(), "--log", log.string()};
          for (const int e : ecrs) args.insert(args.end(), {"--ecr", std::to_string(e)});
          args.insert(args.end(), extra.begin(), extra.end());
          return args;
        }())) {}
};

// kassirod's command line: the program, then args.
std::vector<std::string> Command(std::vector<std::string> args, const fs::path& exe = BinDir / "kassirod") {
  args.insert(args.begin(), exe.string());
  return args;
}

// A running kassirod once it printed its start line; TcpPort is where clients connect.
struct TServer : TKassirod {
  TServer(std::vector<std::string> args) : TKassirod(StartKassirod(Command(std::move(args)))) {}
};

TRunResult Kassirod(std::vector<std::string> args, const fs::path& exe = BinDir / "kassirod") {
  return RunProgram(Command(std::move(args), exe));
}

// The notification socket of a pretended service manager.
class TNotifySocket {
 public:
  explicit TNotifySocket(const fs::path& path) : FPath(path) {
    FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("cannot bind " + path.string());
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);  // for the programs this test starts
  }
  ~TNotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(FFd);
  }
  // The next notification, or nullopt when none comes within the wait.
  std::optional<std::string> Next(int waitMs = DeadlineMs) {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) != 1) return std::nullopt;
    char buf[4096];
    const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
  }

 private:
  fs::path FPath;
  int FFd = -1;
};

std::string Hex(const std::string& s) {
  std::string out;
  for (const unsigned char c : s) {
    char h[4];
    std::snprintf(h, sizeof h, "%02X ", c);
    out += h;
  }
  return out;
}

// The client takes the report set of ECR 3 (no set password); the answer repeats the
// request when the set is given.
void TakeReportSetOf3(TcpClient& client) {
  const std::string take{5, 1, 0, 3, 0};
  ASSERT_TRUE(client.Send(take));
  ASSERT_EQ(Hex(client.Next().value_or("")), Hex(take));
}

TEST(Service, TellsTheManagerWhenItIsReadyReloadingAndStopping) {
  TempDir dir;
  TSim sim(dir / "sim.log", {3});
  TNotifySocket manager(dir / "notify");
  auto child = std::make_unique<TChild>(std::vector<std::string>{
      (BinDir / "kassirod").string(), "-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});

  // Ready comes first, and only once clients can connect and the line is open.
  const auto ready = manager.Next();
  ASSERT_TRUE(ready) << child->Out << child->Err;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(*ready, m, std::regex("READY=1\nSTATUS=Polling on " + sim.Port +
                                                     R"(\. Clients connect on TCP port (\d+)\.)")))
      << *ready;
  const auto port = static_cast<std::uint16_t>(std::stoi(m[1]));
  {
    TcpClient client(port);
    ASSERT_NO_FATAL_FAILURE(TakeReportSetOf3(client));
  }

  // A restart is framed by RELOADING=1 and READY=1, in that order.
  child->Signal(SIGHUP);
  const auto reloading = manager.Next();
  ASSERT_TRUE(reloading);
  EXPECT_TRUE(std::regex_match(*reloading, std::regex("RELOADING=1\nMONOTONIC_USEC=\\d+"))) << *reloading;
  const auto readyAgain = manager.Next();
  ASSERT_TRUE(readyAgain);
  EXPECT_TRUE(readyAgain->starts_with("READY=1\nSTATUS=Polling on " + sim.Port + ".")) << *readyAgain;

  child->Signal(SIGTERM);
  EXPECT_EQ(manager.Next(), "STOPPING=1");
  EXPECT_EQ(child->Wait(), 0);
  EXPECT_EQ(manager.Next(0), std::nullopt) << "nothing after the stop";
}

TEST(Service, AStartThatFailsIsNeverReported) {
  TempDir dir;
  TNotifySocket manager(dir / "notify");
  // A device that is no serial port: the start ends at the line, after the TCP port.
  const TRunResult r = Kassirod({"-Dir:" + dir.path().string(), "-Port:/dev/null", "-IPPort:0"});
  EXPECT_EQ(r.Exit, 1);
  EXPECT_EQ(r.Err, "Unable to configure port /dev/null!\n");
  EXPECT_EQ(manager.Next(0), std::nullopt);
}

// Two services on two lines, each with its own folder, are two running copies; requests
// reach the copy of the folder they name.
TEST(Service, EachFolderHasItsOwnRunningCopy) {
  TempDir a, b;
  TSim simA(a / "sim.log", {3}), simB(b / "sim.log", {4});
  TServer first({"-Dir:" + a.path().string(), "-Port:" + simA.Port, "-IPPort:0", "-Password:pa"});
  TServer second({"-Dir:" + b.path().string(), "-Port:" + simB.Port, "-IPPort:0", "-Password:pb"});
  for (const auto* d : {&a, &b}) {
    for (const char* f : {"kassirod.STG", "kassirod.log"}) EXPECT_TRUE(fs::exists(*d / f)) << f;
  }
  EXPECT_FALSE(fs::exists(BinDir / "kassirod.STG")) << "nothing beside the executable";

  // The right password for the other folder closes nothing; its own closes it.
  EXPECT_EQ(Kassirod({"-Dir:" + a.path().string(), "-Q:pb"}).Exit, 1);
  EXPECT_TRUE(first.Child->Running());
  EXPECT_EQ(Kassirod({"-Dir:" + b.path().string(), "-Q:pb"}).Exit, 0);
  EXPECT_EQ(second.Child->Wait(), 0);
  EXPECT_TRUE(first.Child->Running());
  // A folder given another way (a relative path, a trailing slash) is the same folder.
  EXPECT_EQ(Kassirod({"-Dir:" + (a.path() / "." / "").string(), "-Q:pa"}).Exit, 0);
  EXPECT_EQ(first.Child->Wait(), 0);
  EXPECT_NE(ReadFile(a / "kassirod.log").find(Title + " closed by user."), std::string::npos);
}

// A copy without -Dir keeps its files beside itself and its channel named after its own
// path, as always; the same folder named with -Dir is the same instance.
TEST(Service, WithoutAFolderTheExecutablesFolderIsTheInstance) {
  TempDir dir;
  TSim sim(dir / "sim.log", {3});
  const fs::path exe = dir / "kassirod";
  fs::copy_file(BinDir / "kassirod", exe);
  auto child = std::make_unique<TChild>(std::vector<std::string>{exe.string(), "-Port:" + sim.Port, "-IPPort:0"});
  ASSERT_TRUE(child->WaitForLine(std::regex(" started on ")));

  const TRunResult second = Kassirod({"-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});
  EXPECT_EQ(second.Exit, 0);
  EXPECT_EQ(second.Out + second.Err, "") << "a second copy of the same folder ends silently";
  const TRunResult status = Kassirod({"-Dir:" + dir.path().string(), "-Status"});
  EXPECT_EQ(status.Exit, 0);
  EXPECT_TRUE(status.Out.starts_with(Title + "\nPort: " + sim.Port)) << status.Out << status.Err;
  EXPECT_EQ(Kassirod({"-Q:"}, exe).Exit, 0);
  EXPECT_EQ(child->Wait(), 0);
}

TEST(Service, StatusShowsTheServedEcrsAndTheirHolders) {
  TempDir dir;
  TSim sim(dir / "sim.log", {3, 7});
  TServer server({"-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});
  TcpClient client(server.TcpPort);
  ASSERT_NO_FATAL_FAILURE(TakeReportSetOf3(client));
  // Wait until ECR 3 answered a take, so its serial number is known.
  const fs::path simLog = dir / "sim.log";
  for (int i = 0; i < DeadlineMs / 10 && ReadFile(simLog).find("take 03") == std::string::npos; ++i)
    ::poll(nullptr, 0, 10);

  const TRunResult text = Kassirod({"-Dir:" + dir.path().string(), "-Status"});
  EXPECT_EQ(text.Exit, 0) << text.Err;
  EXPECT_NE(text.Out.find("Clients: 1  Uptime: 0d 00:00:"), std::string::npos) << text.Out;
  EXPECT_NE(text.Out.find("Polling: yes\n"), std::string::npos) << text.Out;
  EXPECT_NE(text.Out.find("\nLog No  Ser No  Mode    SET:ID\n3       "), std::string::npos) << text.Out;
  EXPECT_TRUE(std::regex_search(text.Out, std::regex(R"(\n3       \d{6}  \S+ +5:1;\n)"))) << text.Out;

  const TRunResult json = Kassirod({"-Dir:" + dir.path().string(), "-Status:json"});
  EXPECT_EQ(json.Exit, 0) << json.Err;
  EXPECT_NE(json.Out.find("\"state\":\"running\",\"port\":\"" + sim.Port + "\""), std::string::npos) << json.Out;
  EXPECT_NE(json.Out.find("\"clients\":1,"), std::string::npos) << json.Out;
  EXPECT_NE(json.Out.find("\"listeningPort\":" + std::to_string(server.TcpPort) + ","), std::string::npos);
  EXPECT_NE(json.Out.find("{\"logNo\":3,"), std::string::npos) << json.Out;
  EXPECT_NE(json.Out.find("\"setId\":\"5:1;\",\"holders\":[{\"set\":5,\"id\":1}]"), std::string::npos)
      << json.Out;
  EXPECT_EQ(json.Out.find("\"logNo\":7"), std::string::npos) << "ECR 7 is not served";

  server.Child->Signal(SIGTERM);
  EXPECT_EQ(server.Child->Wait(), 0);
}

// The counters of one ECR in a -Status:json answer, by name; empty when it is not there.
std::map<std::string, std::string> JsonCounters(const std::string& json, int ecr) {
  std::map<std::string, std::string> out;
  const auto at = json.find("{\"logNo\":" + std::to_string(ecr) + ",");
  if (at == std::string::npos) return out;
  const auto from = json.find("\"counters\":{", at);
  const auto to = json.find('}', from);
  if (from == std::string::npos || to == std::string::npos) return out;
  const std::string body = json.substr(from, to - from);
  static const std::regex field(R"re("(\w+)":("[^"]*"|\w+))re");
  for (std::sregex_iterator i(body.begin(), body.end(), field), end; i != end; ++i) out[(*i)[1]] = (*i)[2];
  return out;
}

std::uint64_t Count(const std::map<std::string, std::string>& c, const std::string& name) {
  const auto i = c.find(name);
  return i == c.end() ? 0 : std::stoull(i->second);
}

// The line's counters move with what ecrsim does: ECR 3 answers, its first two frames
// with a bad CRC; ECR 7 ignores its first three takes. Status shows them, and the log
// has them at stop.
TEST(Service, StatusCountsWhatTheLineDidForEachEcr) {
  TempDir dir;
  TSim sim(dir / "sim.log", {3, 7}, {"--fault", "3:badcrc:2", "--fault", "7:silent:3"});
  TServer server({"-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});
  TcpClient client(server.TcpPort);
  for (const char ecr : {3, 7}) {
    const std::string take{5, 1, 0, ecr, 0};
    ASSERT_TRUE(client.Send(take));
    ASSERT_TRUE(client.Next());
  }
  // Asked again until both ECRs answered a take, with a deadline.
  std::string json;
  std::map<std::string, std::string> three, seven;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DeadlineMs);
  do {
    const TRunResult r = Kassirod({"-Dir:" + dir.path().string(), "-Status:json"});
    ASSERT_EQ(r.Exit, 0) << r.Err;
    json = r.Out;
    three = JsonCounters(json, 3);
    seven = JsonCounters(json, 7);
  } while ((Count(three, "takesAnswered") == 0 || Count(seven, "takesAnswered") == 0) &&
           std::chrono::steady_clock::now() < deadline);
  ASSERT_GT(Count(three, "takesAnswered"), 0u) << json;
  ASSERT_GT(Count(seven, "takesAnswered"), 0u) << json;

  EXPECT_GE(Count(three, "takes"), Count(three, "takesAnswered")) << json;
  // A frame cut by a busy machine's delay is a time-out instead, so the two spoilt
  // frames show once at least; each one seen got its NAK.
  EXPECT_GE(Count(three, "badCrc"), 1u) << json;
  EXPECT_LE(Count(three, "badCrc"), 2u) << json;
  EXPECT_EQ(Count(three, "naksSent"), Count(three, "badCrc")) << json;
  EXPECT_TRUE(std::regex_match(three["lastAnswer"], std::regex(R"("\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")")))
      << json;
  EXPECT_GE(Count(seven, "takes"), 4u) << json;
  EXPECT_GE(Count(seven, "timeOuts"), 3u) << json;
  EXPECT_EQ(Count(seven, "badCrc"), 0u) << json;
  EXPECT_EQ(JsonCounters(json, 5), (std::map<std::string, std::string>{})) << "ECR 5 is not served";

  const TRunResult text = Kassirod({"-Dir:" + dir.path().string(), "-Status"});
  EXPECT_EQ(text.Exit, 0) << text.Err;
  EXPECT_NE(text.Out.find("\nLog No  Takes   Answered  Time-outs  Bad CRC  NAK sent  NAK rcvd  Repeats  "
                          "Shared  Last answer\n"),
            std::string::npos)
      << text.Out;
  EXPECT_TRUE(std::regex_search(text.Out, std::regex(R"(\n3 +[1-9]\d* +[1-9]\d* +\d+ +[12] +[12] +0 +0 +0 +\d{4}-)")))
      << text.Out;
  EXPECT_TRUE(std::regex_search(text.Out, std::regex(R"(\n7 +[1-9]\d* +[1-9]\d* +([3-9]|\d\d+) +0 +0 +0 +0 +0 +\d{4}-)")))
      << text.Out;

  server.Child->Signal(SIGTERM);
  EXPECT_EQ(server.Child->Wait(), 0);
  const std::string log = ReadFile(dir / "kassirod.log");
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(ECR 3: takes [1-9]\d*, answered [1-9]\d*, time-outs \d+, bad CRC ([12]), )"
                                                R"(NAK sent \1, NAK received 0, repeats 0, shared serial 0, last answer \d{4}-)")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(ECR 7: takes [1-9]\d*, answered [1-9]\d*, time-outs ([3-9]|\d\d+), )"))) << log;
}

// One device answering the takes of ECRs 2, 3 and 4 with its own serial number (a
// second master on the bus): the operator learns of it from the status and the log.
TEST(Service, StatusNamesASerialNumberThatAnswersForSeveralEcrs) {
  TempDir dir;
  WriteFile(dir / "device.sim", "ecr 2 serial 777777\necr 3 serial 777777\necr 4 serial 777777\n");
  TSim sim(dir / "sim.log", {}, {"--script", (dir / "device.sim").string()});
  TServer server({"-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});
  TcpClient client(server.TcpPort);
  for (const char ecr : {2, 3, 4}) {
    const std::string take{5, 1, 0, ecr, 0};
    ASSERT_TRUE(client.Send(take));
    ASSERT_EQ(Hex(client.Next().value_or("")), Hex(take));
  }
  const std::string shared = "serial 777777 answers for ECR 2, 3, 4";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DeadlineMs);
  TRunResult text;
  do {
    text = Kassirod({"-Dir:" + dir.path().string(), "-Status"});
    ASSERT_EQ(text.Exit, 0) << text.Err;
  } while (text.Out.find(shared) == std::string::npos && std::chrono::steady_clock::now() < deadline);
  EXPECT_NE(text.Out.find("\n" + shared + " (last "), std::string::npos) << text.Out;
  const TRunResult json = Kassirod({"-Dir:" + dir.path().string(), "-Status:json"});
  EXPECT_NE(json.Out.find(R"("sharedSerials":[{"serial":777777,"ecrs":[2,3,4],"text":")" + shared + "\""),
            std::string::npos)
      << json.Out;
  EXPECT_NE(ReadFile(dir / "kassirod.log").find("Line: serial 777777 answers for ECR "), std::string::npos);
}

// The serial number -Status:json shows for each served ECR.
std::map<int, std::string> SerialsShown(const std::string& json) {
  std::map<int, std::string> out;
  static const std::regex row(R"re("logNo":(\d+),"serNo":"(\d*)")re");
  for (std::sregex_iterator i(json.begin(), json.end(), row), end; i != end; ++i)
    out[std::stoi((*i)[1])] = (*i)[2];
  return out;
}

// The status of the copy serving dir (option: -Status or -Status:json), asked again until
// done says it holds what is waited for, or the deadline passes; the last one.
std::string StatusOnceIt(const fs::path& dir, const std::string& option,
                         const std::function<bool(const std::string&)>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DeadlineMs);
  std::string out;
  do {
    const TRunResult r = Kassirod({"-Dir:" + dir.string(), option});
    if (r.Exit != 0) return r.Err;
    out = r.Out;
  } while (!done(out) && std::chrono::steady_clock::now() < deadline && ::poll(nullptr, 0, 50) == 0);
  return out;
}

// The client takes a set of an ECR (no set password); the answer repeats the request.
void TakeSet(TcpClient& client, char set, char ecr) {
  const std::string take{set, 1, 0, ecr, 0};
  ASSERT_TRUE(client.Send(take));
  ASSERT_EQ(Hex(client.Next().value_or("")), Hex(take));
}

const std::map<int, std::string> OWN_SERIALS = {{2, "004702"}, {3, "004703"}, {4, "004704"}};

// A device on the bus that answers the takes of every number, quicker than the registers
// (a faulty register, or a second master). The registers are known from an earlier day;
// each keeps its own serial number, ECR 3's report comes through, and the operator reads
// which ECRs the device's number answers for.
TEST(Service, ADeviceAnsweringEveryTakeIsNamedAndNoRegisterTakesItsNumber) {
  TempDir dir;
  const auto isOwn = [](const std::string& json) { return SerialsShown(json) == OWN_SERIALS; };
  {
    TSim sim(dir / "day1.log", {2, 3, 4});
    TServer server({"-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});
    TcpClient client(server.TcpPort);
    for (const char ecr : {2, 3, 4}) ASSERT_NO_FATAL_FAILURE(TakeSet(client, 5, ecr));
    const std::string json = StatusOnceIt(dir.path(), "-Status:json", isOwn);
    ASSERT_TRUE(isOwn(json)) << json;
    server.Child->Signal(SIGTERM);
    ASSERT_EQ(server.Child->Wait(), 0);
  }
  WriteFile(dir / "device.sim",
            "ecr 2\necr 3\nonline \"{serial};{block};0;A;B;\"\necr 4\necr 9 serial 777777\nfault answerall\n");
  TSim sim(dir / "day2.log", {}, {"--script", (dir / "device.sim").string()});
  TServer server({"-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});
  TcpClient client(server.TcpPort);
  for (const char ecr : {2, 4}) ASSERT_NO_FATAL_FAILURE(TakeSet(client, 5, ecr));
  ASSERT_NO_FATAL_FAILURE(TakeSet(client, 1, 3));  // ECR 3's reports, last: its report comes next
  const std::string report = client.Next().value_or("");
  EXPECT_EQ(report.rfind(std::string{1, '\x80', 0, 3, 0} + "004703;0;A;B;", 0), 0u) << Hex(report);

  const std::string shared = "serial 777777 answers for ECR 2, 3, 4";
  const std::string text = StatusOnceIt(dir.path(), "-Status", [&](const std::string& t) {
    return t.find(shared) != std::string::npos;
  });
  EXPECT_NE(text.find("\n" + shared + " (last "), std::string::npos) << text;
  // Rounds go on with the device answering first; the registers keep their numbers.
  const std::string json = StatusOnceIt(dir.path(), "-Status:json", [&](const std::string& j) {
    return isOwn(j) && Count(JsonCounters(j, 2), "sharedSerial") > 10 && Count(JsonCounters(j, 3), "sharedSerial") > 10;
  });
  EXPECT_EQ(SerialsShown(json), OWN_SERIALS) << json;
  for (const int ecr : {2, 3, 4}) EXPECT_GT(Count(JsonCounters(json, ecr), "sharedSerial"), 10u) << json;
  EXPECT_NE(json.find(R"("sharedSerials":[{"serial":777777,"ecrs":[2,3,4],"text":")" + shared + "\""),
            std::string::npos)
      << json;
  const std::string log = ReadFile(dir / "kassirod.log");
  EXPECT_NE(log.find("Line: serial 777777 answers for ECR "), std::string::npos) << log;
  EXPECT_EQ(log.find("is taken as ECR"), std::string::npos) << "never believed as a moved register:\n" << log;
}

// A device that streams frames with ever new serial numbers outside any take: the log and
// the status count them, no ECR takes a streamed number for its own, and ECR 3's report
// comes through. (The log's one line a minute names the first frames found, which on a
// loaded machine may be a register's own answer that came after its take's window.)
TEST(Service, FramesStreamedOutsideAnyTakeAreCountedAndNoEcrTakesTheirNumbers) {
  TempDir dir;
  WriteFile(dir / "stream.sim",
            "ecr 2\necr 3\nonline \"{serial};{block};0;A;B;\"\necr 4\necr 8 serial 500000\nfault stream\n");
  TSim sim(dir / "sim.log", {}, {"--script", (dir / "stream.sim").string()});
  TServer server({"-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});
  TcpClient client(server.TcpPort);
  for (const char ecr : {2, 4}) ASSERT_NO_FATAL_FAILURE(TakeSet(client, 5, ecr));
  ASSERT_NO_FATAL_FAILURE(TakeSet(client, 1, 3));
  const std::string report = client.Next().value_or("");
  EXPECT_EQ(report.rfind(std::string{1, '\x80', 0, 3, 0} + "004703;0;A;B;", 0), 0u) << Hex(report);

  const auto outside = [](const std::string& json) {
    std::smatch m;
    return std::regex_search(json, m, std::regex(R"("framesOutsideTake":(\d+))")) ? std::stoull(m[1]) : 0ull;
  };
  const std::string json = StatusOnceIt(dir.path(), "-Status:json", [&](const std::string& j) {
    return outside(j) > 100 && SerialsShown(j) == OWN_SERIALS;
  });
  EXPECT_GT(outside(json), 100u) << json;
  EXPECT_EQ(SerialsShown(json), OWN_SERIALS) << json;
  EXPECT_NE(json.find(R"("sharedSerials":[])"), std::string::npos) << json;
  const std::string text = Kassirod({"-Dir:" + dir.path().string(), "-Status"}).Out;
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\nFrames outside any take: [1-9]\d{2,}\n)"))) << text;
  const std::string log = ReadFile(dir / "kassirod.log");
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(Line: [1-9]\d* frame\(s\) arrived outside any take, serial \d+)")))
      << log;
}

// A trace asked of the running copy: where it goes, then every byte both ways for two
// seconds; it ends by itself. One trace at a time.
TEST(Service, TraceRecordsTheLineForItsTime) {
  TempDir dir;
  TSim sim(dir / "sim.log", {3});
  TServer server({"-Dir:" + dir.path().string(), "-Port:" + sim.Port, "-IPPort:0"});
  TcpClient client(server.TcpPort);
  ASSERT_NO_FATAL_FAILURE(TakeReportSetOf3(client));

  const fs::path file = dir / "kassirod.trace";
  const TRunResult r = Kassirod({"-Dir:" + dir.path().string(), "-Trace:2"});
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Out, "Tracing the line to " + file.string() + " for 2 s.\n");
  const TRunResult again = Kassirod({"-Dir:" + dir.path().string(), "-Trace:5"});
  EXPECT_EQ(again.Exit, 1);
  EXPECT_EQ(again.Err, "kassirod: no line trace: a trace is being written to " + file.string() + " already\n");

  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DeadlineMs);
  while ((text = ReadFile(file)).find("\n# trace ended ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    ::poll(nullptr, 0, 50);
  EXPECT_TRUE(std::regex_search(text, std::regex("^# Kassiro line trace: port " + sim.Port +
                                                 R"(, \d+ bit/s, 2 s, at most 8388608 bytes\n)")))
      << text.substr(0, 300);
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n# trace ended [-0-9]{10} [:.0-9]{12}: time is up\n$)")))
      << text.substr(text.size() > 300 ? text.size() - 300 : 0);
  const std::string stamp = R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )";
  EXPECT_TRUE(std::regex_search(text, std::regex(stamp + "> FF FF 11 11 30 33\n"))) << "take request of ECR 3";
  EXPECT_TRUE(std::regex_search(text, std::regex(stamp + "> FF FF FF FF 13 13\n"))) << "release request";
  EXPECT_TRUE(std::regex_search(text, std::regex(stamp + "< 0A 30 30 34 37 30 33 3B 0D [0-9A-F]{2} [0-9A-F]{2}\n")))
      << "ECR 3's reply";
  EXPECT_TRUE(std::regex_search(text, std::regex(stamp + "> FF 06\n"))) << "our ACK";
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n[^#]\S+ \S+ [<>]( [0-9A-F]{2})+\n)")));
  const std::string log = ReadFile(dir / "kassirod.log");
  EXPECT_NE(log.find("Line trace to " + file.string() + " for 2 s"), std::string::npos) << log;
  EXPECT_NE(log.find("Line trace to " + file.string() + " ended: time is up"), std::string::npos) << log;

  server.Child->Signal(SIGTERM);
  EXPECT_EQ(server.Child->Wait(), 0);
  const TRunResult none = Kassirod({"-Dir:" + dir.path().string(), "-Trace:2"});
  EXPECT_EQ(none.Exit, 1);
  EXPECT_EQ(none.Err, "kassirod: no running copy for " + dir.path().string() + ": trace request not sent.\n");
}

TEST(Service, BadArgumentsAreRefusedWithAReason) {
  TempDir dir;
  struct TCase {
    std::vector<std::string> args;
    std::string err;
  };
  const TCase cases[] = {
      {{"-Dir:" + (dir / "missing").string()}, "kassirod: -Dir:" + (dir / "missing").string() + ": no such folder\n"},
      {{"-Dir:"}, "kassirod: -Dir:: no folder given\n"},
      {{"-Dir:" + dir.path().string(), "-Status:xml"}, "kassirod: -Status:xml: expected -Status or -Status:json\n"},
      {{"-Dir:" + dir.path().string(), "-Trace:0"}, "kassirod: -Trace:0: expected a number of seconds from 1 to 3600\n"},
      {{"-Dir:" + dir.path().string(), "-Trace:3601"}, "kassirod: -Trace:3601: expected a number of seconds from 1 to 3600\n"},
      {{"-Dir:" + dir.path().string(), "-Trace"}, "kassirod: -Trace:: expected a number of seconds from 1 to 3600\n"},
      {{"-Dir:" + dir.path().string(), "-Trace:-5"}, "kassirod: -Trace:-5: expected a number of seconds from 1 to 3600\n"},
      {{"-Dir:" + dir.path().string(), "-Trace:2s"}, "kassirod: -Trace:2s: expected a number of seconds from 1 to 3600\n"},
      {{"-Dir:" + dir.path().string(), "-Trace:ten"}, "kassirod: -Trace:ten: expected a number of seconds from 1 to 3600\n"},
      {{"-Dir:" + dir.path().string(), "-Trace:99999999999999999999"},
       "kassirod: -Trace:99999999999999999999: expected a number of seconds from 1 to 3600\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const TRunResult r = Kassirod(c.args);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_EQ(r.Err, c.err);
    EXPECT_EQ(r.Out, "");
  }
  // Nobody runs in the folder: a status request says so.
  const TRunResult r = Kassirod({"-Dir:" + dir.path().string(), "-Status"});
  EXPECT_EQ(r.Exit, 1);
  EXPECT_EQ(r.Err, "kassirod: no running copy for " + dir.path().string() + ": status request not sent.\n");
  EXPECT_TRUE(fs::is_empty(dir.path())) << "a refused command line leaves no file";
}

// Who may connect: a bad -Listen or -Allow is refused before anything is stored; good
// ones are kept in the INI file for every later start and shown by -Status. A value
// damaged in the INI file closes the door to the network instead of opening it.
TEST(Service, ListenAndAllowAreCheckedStoredAndShown) {
  TempDir dir;
  TSim sim(dir / "sim.log", {3});
  const std::string folder = "-Dir:" + dir.path().string();
  const fs::path ini = dir / "kassirod.INI";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } bad[] = {
      {{"-Allow:10.0.0.0/33"}, "Bad parameter: ALLOW:10.0.0.0/33 (\"10.0.0.0/33\" has no prefix length 0..32 after the /)"},
      {{"-Allow:192.168.1.0/24,"}, "Bad parameter: ALLOW:192.168.1.0/24, (an empty entry in the list \"192.168.1.0/24,\")"},
      {{"-Listen:127.0.0.1", "-Allow:shop-pc"},
       "Bad parameter: ALLOW:shop-pc (\"shop-pc\" is not an IPv4 or IPv6 address or range)"},
      {{"-Listen:localhost"}, "Bad parameter: LISTEN:localhost (\"localhost\" is not an IPv4 or IPv6 address)"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> args{folder, "-Port:" + sim.Port, "-IPPort:0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const TRunResult r = Kassirod(args);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_EQ(r.Err, c.err + "\n");
    EXPECT_FALSE(fs::exists(ini)) << ReadFile(ini);
  }

  {
    TServer server({folder, "-Port:" + sim.Port, "-IPPort:0", "-Listen:127.0.0.1", "-Allow: 127.0.0.0/8 ,::1"});
    TcpClient client(server.TcpPort);
    ASSERT_NO_FATAL_FAILURE(TakeReportSetOf3(client));
    const TRunResult text = Kassirod({folder, "-Status"});
    EXPECT_NE(text.Out.find("\nListen: 127.0.0.1  Allow: 127.0.0.0/8,::1\n"), std::string::npos) << text.Out;
    const TRunResult json = Kassirod({folder, "-Status:json"});
    EXPECT_NE(json.Out.find(R"("listen":"127.0.0.1","allow":["127.0.0.0/8","::1"])"), std::string::npos) << json.Out;
    server.Child->Signal(SIGTERM);
    EXPECT_EQ(server.Child->Wait(), 0);
  }
  const std::string stored = ReadFile(ini);
  EXPECT_NE(stored.find("[Options]\n"), std::string::npos) << stored;
  EXPECT_NE(stored.find("Listen=127.0.0.1\n"), std::string::npos) << stored;
  EXPECT_NE(stored.find("Allow=127.0.0.0/8,::1\n"), std::string::npos) << stored;

  // Damaged by hand: the next start serves this PC only and says why.
  WriteFile(ini, "[Options]\nLanguageID=1\nListen=192.168.1.300\nAllow=192.168.1.0/24;10.0.0.0/8\n");
  {
    TServer server({folder, "-Port:" + sim.Port, "-IPPort:0"});
    const TRunResult text = Kassirod({folder, "-Status"});
    EXPECT_NE(text.Out.find("\nListen: 127.0.0.1  Allow: 127.0.0.0/8,::1\n"), std::string::npos) << text.Out;
    server.Child->Signal(SIGTERM);
    EXPECT_EQ(server.Child->Wait(), 0);
  }
  const std::string log = ReadFile(dir / "kassirod.log");
  EXPECT_NE(log.find("TCP server: Listen in the INI file refused, \"192.168.1.300\" is not an IPv4 or IPv6 "
                     "address; listening on 127.0.0.1 only"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("TCP server: Allow in the INI file refused, \"192.168.1.0/24;10.0.0.0/8\""), std::string::npos)
      << log;
  EXPECT_NE(log.find("letting in 127.0.0.0/8,::1 only"), std::string::npos) << log;
}

TEST(Service, EveryProgramAnswersHelpAndVersion) {
  TempDir dir;  // kassirod's files, should a refused start leave any
  for (const char* program : {"kassirod", "ecrsim", "ecrscan", "ecrclient", "ecrbridge"}) {
    SCOPED_TRACE(program);
    const TRunResult version = RunProgram({(BinDir / program).string(), "--version"});
    EXPECT_EQ(version.Exit, 0);
    EXPECT_EQ(version.Out, std::string(program) + " 0.1.0.0\n");
    const TRunResult help = RunProgram({(BinDir / program).string(), "--help"});
    EXPECT_EQ(help.Exit, 0);
    EXPECT_NE(help.Out.find("Usage: "), std::string::npos) << help.Out;
    std::vector<std::string> bad_args{(BinDir / program).string(), "--no-such-option"};
    if (std::string(program) == "kassirod") bad_args.insert(bad_args.begin() + 1, "-Dir:" + dir.path().string());
    const TRunResult bad = RunProgram(bad_args);
    EXPECT_NE(bad.Exit, 0);
    EXPECT_NE(bad.Err, "");
  }
}

}  // namespace
