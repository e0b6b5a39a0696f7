// ecrbridge end to end, every part a real program: a mosquitto broker on a free loopback
// port, kassirod on an ecrsim line, mosquitto_sub as head office, and ecrbridge between
// them. Every wait is for an event (a line printed, a file written), with a deadline.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
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

std::string Message(std::uint8_t st, std::uint8_t cop, std::uint8_t ecr, const std::string& text = "") {
  return std::string{static_cast<char>(st), static_cast<char>(cop), 0, static_cast<char>(ecr), 0} + text;
}

// One message the subscriber printed: "topic payload".
struct TPublished {
  std::string Topic, Payload;
  std::optional<int> Seq() const {
    std::smatch m;
    if (!std::regex_search(Payload, m, std::regex(R"("seq":(\d+))"))) return std::nullopt;
    return std::stoi(m[1]);
  }
  std::optional<int> Line() const {
    std::smatch m;
    if (!std::regex_search(Payload, m, std::regex(R"("line":(\d+))"))) return std::nullopt;
    return std::stoi(m[1]);
  }
};

// A script of n sale reports from ECR 3 (serial 123456), each with its own article.
std::string SalesScript(int n, bool loop = false) {
  std::string s = "ecr 3 serial 123456\n";
  for (int i = 1; i <= n; ++i) s += "online \"{serial};{block};0;A" + std::to_string(i) + ";1.00;1;\"\n";
  if (loop) s += "loop\n";
  return s;
}

// The line numbers in the order they first came, the copies that came again left out.
std::vector<int> FirstCopies(const std::vector<int>& lines) {
  std::vector<int> firsts;
  std::set<int> seen;
  for (const int l : lines)
    if (seen.insert(l).second) firsts.push_back(l);
  return firsts;
}

// 1, 2, ..., n.
std::vector<int> OneTo(int n) {
  std::vector<int> all(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) all[static_cast<std::size_t>(i)] = i + 1;
  return all;
}

class Bridge : public ::testing::Test {
 protected:
  Bridge() { fs::copy_file(BinDir / "kassirod", Dir / "kassirod"); }

  // ---- the broker
  void StartBroker(bool persistent = false, const std::string& more = "") {
    std::string conf = "listener " + std::to_string(BrokerPort) + " 127.0.0.1\nallow_anonymous true\n"
                       "log_dest file " + BrokerLog().string() + "\nlog_type all\n";
    // Run as root it would switch to the user "mosquitto", who can't write here.
    if (const passwd* pw = ::getpwuid(::getuid())) conf += "user " + std::string(pw->pw_name) + "\n";
    if (persistent) {
      conf += "persistence true\npersistence_location " + Dir.path().string() + "/\nautosave_interval 1\n";
    }
    WriteFile(Dir / "mosquitto.conf", conf + more);
    const std::size_t from = ReadFile(BrokerLog()).size();
    Broker = std::make_unique<TChild>(std::vector<std::string>{MOSQUITTO_PATH, "-c", (Dir / "mosquitto.conf").string()});
    if (!BrokerLogs(from, " running"))
      throw std::runtime_error("mosquitto did not start: " + ReadFile(BrokerLog()) + Broker->Err);
  }

  // Head office's persistent session is on disk: a new broker knows it.
  void SessionSaved() {
    const auto subscribed = ReadFile(BrokerLog()).find("Received SUBSCRIBE from head-office");
    if (subscribed == std::string::npos || !BrokerLogs(subscribed, "Saving in-memory database"))
      throw std::runtime_error("the broker did not save the session: " + ReadFile(BrokerLog()));
  }

  // A broker that keeps head office's session on disk, head office subscribed in it.
  void StartKeptSession() {
    StartBroker(true);
    StartSubscriber(true);
    SessionSaved();
  }

  fs::path BrokerLog() const { return Dir / "mosquitto.log"; }
  // Waits until the broker's log holds text after its first `from` bytes.
  bool BrokerLogs(std::size_t from, const std::string& text) const {
    return WaitUntil([&] {
      const std::string log = ReadFile(BrokerLog());
      return log.size() > from && log.find(text, from) != std::string::npos;
    });
  }

  void KillBroker() {
    Broker->Signal(SIGKILL);
    Broker->Wait();
  }
  // A broker stopped keeps head office's session with every message it acknowledged: it
  // saves its database on the way out. Killed, it loses what it acknowledged since its
  // last save, and a report the bridge saw acknowledged is then gone at the broker.
  void StopBroker() {
    Broker->Signal(SIGTERM);
    ASSERT_EQ(Broker->Wait(), 0);
  }

  // ---- head office: mosquitto_sub on kassiro/#, ready once it has a retained probe
  void StartSubscriber(bool persistentSession = false) {
    std::vector<std::string> args{MOSQUITTO_SUB_PATH, "-h", "127.0.0.1", "-p", std::to_string(BrokerPort),
                                  "-v", "-q", "1", "-t", "kassiro/#"};
    args.insert(args.end(), ClientAuth.begin(), ClientAuth.end());
    if (persistentSession) args.insert(args.end(), {"-c", "-i", "head-office"});
    Sub = std::make_unique<TChild>(args);
    Publish("kassiro/probe", "ready");
    if (!Sub->WaitForLine(std::regex("^kassiro/probe ready$")))
      throw std::runtime_error("mosquitto_sub did not subscribe: " + Sub->Out + Sub->Err);
  }

  void Publish(const std::string& topic, const std::string& payload) {
    const auto r = kassiro::testing::RunProgram(
        Concat({MOSQUITTO_PUB_PATH, "-h", "127.0.0.1", "-p", std::to_string(BrokerPort), "-q", "1", "-r", "-t", topic, "-m", payload},
               ClientAuth));
    if (r.Exit != 0) throw std::runtime_error("mosquitto_pub failed: " + r.Err);
  }

  // The next message the subscriber prints on a topic that matches.
  std::optional<TPublished> NextPublished(const std::string& topicPattern = "kassiro/s1/ecr/.*") {
    const auto m = Sub->WaitForLine(std::regex("^(" + topicPattern + ") (.*)$"));
    if (!m) return std::nullopt;
    return TPublished{(*m)[1], (*m)[2]};
  }

  // The line numbers of the reports, in the order they came, until `last` came.
  std::vector<int> LinesUntil(int last) {
    std::vector<int> lines;
    while (lines.empty() || lines.back() != last) {
      const auto p = NextPublished();
      if (!p || !p->Line()) {
        ADD_FAILURE() << "line " << last << " never came; subscriber:\n" << Sub->Out << "\nbridge:\n" << BridgeOut();
        break;
      }
      lines.push_back(*p->Line());
    }
    return lines;
  }

  // ---- the ECRs and the server
  void StartSim(const std::string& script, const std::string& speed = "9600") {
    WriteFile(Dir / "shop.sim", script);
    auto sim = StartEcrsim({(BinDir / "ecrsim").string(), "--script", (Dir / "shop.sim").string(), "--pace",
                            "--speed", speed, "--log", (Dir / "sim.log").string()});
    Sim = std::move(sim.Child);
    SimPort = sim.Port;
  }

  void StartKassirod(const std::vector<std::string>& more = {}) {
    Kassirod = kassiro::testing::StartKassirod(Concat({(Dir / "kassirod").string(), "-Port:" + SimPort, "-Speed:9600",
                                                       "-IPPort:" + std::to_string(ServerPort), "-LanguageID:1",
                                                       "-SetPW:1:pw", "-SetPW:2:pw"},
                                                      more))
                   .Child;
  }
  fs::path JournalDir() const { return Dir / "kassirod.journal"; }
  // A back-office that holds ECR 3's report set, so the ECR is polled.
  std::unique_ptr<TcpClient> BackOffice() {
    auto c = std::make_unique<TcpClient>(ServerPort);
    EXPECT_TRUE(c->Send(Message(1, 1, 3, "pw;")));
    EXPECT_EQ(c->Next(), Message(1, 1, 3));
    return c;
  }
  bool SimSent(const std::string& text) const {
    return WaitUntil([&] { return ReadFile(Dir / "sim.log").find(text) != std::string::npos; });
  }

  // ---- a stream of reports: ECR 3 selling `count` articles, the bridge on its main set
  void StartSalesStream(int count) {
    StartSim(SalesScript(count));
    StartKassirod();
    StartBridge({"--set", "main"});
  }

  // ---- the bridge
  void StartBridge(std::vector<std::string> more = {}) {
    std::vector<std::string> args{(BinDir / "ecrbridge").string(), "--shop", "s1", "--ecr", "3",
                                  "--server", "127.0.0.1:" + std::to_string(ServerPort),
                                  "--broker", BrokerUrl.empty() ? "mqtt://127.0.0.1:" + std::to_string(BrokerPort) : BrokerUrl,
                                  "--set-password", "pw", "--spool-dir", SpoolDir().string(),
                                  "--retry-min", "50", "--retry-max", "400"};
    args.insert(args.end(), more.begin(), more.end());
    BridgeProc = std::make_unique<TChild>(args);
  }

  bool BridgeSays(const std::string& text) {
    return BridgeProc->WaitForLine(std::regex(std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)")))
        .has_value();
  }
  std::string BridgeOut() const { return BridgeProc ? BridgeProc->Out + BridgeProc->Err : ""; }

  fs::path SpoolDir() const { return Dir / "spool"; }
  std::uint64_t SpoolBytes() const {
    std::uint64_t n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(SpoolDir(), ec))
      if (e.path().extension() == ".seg") n += e.file_size();
    return n;
  }

  static std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  TempDir Dir;  // first: it goes last, after every program in it has ended
  std::vector<std::string> ClientAuth;  // TLS and account options of mosquitto_sub and _pub
  std::string BrokerUrl;                // the bridge's, when not mqtt:// on BrokerPort
  const std::uint16_t BrokerPort = FreeTcpPort();
  const std::uint16_t ServerPort = FreeTcpPort();
  std::unique_ptr<TChild> Broker, Sub, Sim, Kassirod, BridgeProc;
  std::string SimPort;
};

TEST_F(Bridge, ReportsArriveAsJsonOnTheirTopicsAndTheBridgeSaysWhetherItIsOnline) {
  StartBroker();
  StartSubscriber();
  StartSim(
      "ecr 3 serial 123456\n"
      "online \"{serial};{block};0;4711;1.25;2;\"\n"                        // a sale
      "online \"{serial};{block};2;5;;1250;\"\n"                            // a percentage: 12.50
      "online \"{serial};{block};3;0;X;;;;;;;10.00;;;;;;;;;10.00;\"\n"      // a paid receipt
      "ecr 7 serial 7\n"
      "block 5\n"
      "online \"{serial};{block};F;\\x60;;\"\n");                           // a bar-code correction
  StartKassirod();
  StartBridge({"--ecr", "7"});  // the listening set: a back-office keeps the ECRs polled
  ASSERT_TRUE(BridgeSays("holding ST_ERSL on ECR 3,7")) << BridgeOut();
  const auto online = NextPublished("kassiro/s1/bridge/state");
  ASSERT_TRUE(online) << Sub->Out;
  EXPECT_EQ(online->Payload, "online");

  TcpClient backOffice(ServerPort);
  for (const std::uint8_t ecr : {3, 7}) {
    ASSERT_TRUE(backOffice.Send(Message(1, 1, ecr, "pw;")));
    EXPECT_EQ(backOffice.Next(), Message(1, 1, ecr));
  }

  const std::string time = R"(,"received":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"\})";
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"kassiro/s1/ecr/3/PLU_R",
       R"(\{"shop":"s1","ecr":3,"serial":"123456","event":"PLU_R","code":128,"block":0,"fields":\["4711","1.25","2"\],"line":1,"receipt":1)"},
      {"kassiro/s1/ecr/3/PER_R",
       R"(\{"shop":"s1","ecr":3,"serial":"123456","event":"PER_R","code":134,"block":1,"fields":\["5","","12.50"\],"line":2,"receipt":1)"},
      {"kassiro/s1/ecr/3/TBN_R",
       R"(\{"shop":"s1","ecr":3,"serial":"123456","event":"TBN_R","code":136,"block":2,"fields":\["0","X","","","","","10.00","","","","","","","","","10.00"\],"line":3,"receipt":1)"},
  };
  std::size_t next3 = 0;
  bool seen7 = false;
  while (next3 < expected.size() || !seen7) {
    const auto p = NextPublished();
    ASSERT_TRUE(p) << Sub->Out << BridgeOut();
    if (p->Topic == "kassiro/s1/ecr/7/BAR_C") {
      // The ECR's 0x60 is CP1251's 0xC0, the Cyrillic capital A.
      EXPECT_TRUE(std::regex_match(p->Payload, std::regex(R"(\{"shop":"s1","ecr":7,"serial":"7","event":"BAR_C","code":133,"block":5,"fields":\["\xD0\x90",""\],"line":1,"receipt":\d+)" + time)))
          << p->Payload;
      seen7 = true;
      continue;
    }
    ASSERT_LT(next3, expected.size()) << p->Topic << " " << p->Payload;
    EXPECT_EQ(p->Topic, expected[next3].first);
    EXPECT_TRUE(std::regex_match(p->Payload, std::regex(expected[next3].second + time))) << p->Payload;
    ++next3;
  }

  BridgeProc->Signal(SIGTERM);
  const auto offline = NextPublished("kassiro/s1/bridge/state");
  ASSERT_TRUE(offline);
  EXPECT_EQ(offline->Payload, "offline");
  EXPECT_EQ(BridgeProc->Wait(), 0);
  EXPECT_NE(BridgeProc->Out.find("stopped; 0 report(s) wait in the spool"), std::string::npos) << BridgeOut();
}

TEST_F(Bridge, ABrokerKilledInTheMiddleOfAStreamLosesNothingAndKeepsTheOrder) {
  constexpr int count = 150;
  StartKeptSession();
  StartSalesStream(count);
  const auto before = LinesUntil(20);

  KillBroker();
  ASSERT_TRUE(BridgeSays("lost the broker")) << BridgeOut();
  // The stream goes on into the spool while the broker is away.
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(Dir / "sim.log").find(";A60;") != std::string::npos; }));
  StartBroker(true);
  ASSERT_TRUE(BridgeSays("connected to the broker")) << BridgeOut();

  auto lines = before;
  const auto after = LinesUntil(count);
  lines.insert(lines.end(), after.begin(), after.end());
  // Every report once at least, the first copies in order; a copy again only of one that
  // was in flight when the broker died.
  EXPECT_EQ(FirstCopies(lines), OneTo(count));
  EXPECT_LT(lines.size(), static_cast<std::size_t>(count + 100)) << "at most a window of copies";
}

TEST_F(Bridge, ARestartedServerIsConnectedAgainAndItsSetsTakenAgain) {
  StartBroker();
  StartSubscriber();
  StartSim("ecr 3 serial 123456\nonline \"{serial};{block};0;A;1;\"\nloop\n");
  StartKassirod();
  StartBridge({"--set", "main"});
  ASSERT_TRUE(BridgeSays("holding ST_ERS on ECR 3")) << BridgeOut();
  ASSERT_TRUE(NextPublished()) << Sub->Out;

  Kassirod->Signal(SIGTERM);
  ASSERT_EQ(Kassirod->Wait(), 0);
  ASSERT_TRUE(BridgeSays("lost the Kassiro server")) << BridgeOut();
  StartKassirod();
  ASSERT_TRUE(BridgeSays("connected to the Kassiro server")) << BridgeOut();
  ASSERT_TRUE(BridgeSays("holding ST_ERS on ECR 3")) << BridgeOut();
  // Reports flow again: the ECR is polled because the bridge holds its set.
  const auto mark = Sub->Out.size();
  const auto p = NextPublished();
  ASSERT_TRUE(p) << BridgeOut();
  EXPECT_GT(Sub->Out.size(), mark);
  EXPECT_EQ(p->Topic, "kassiro/s1/ecr/3/PLU_R");
}

TEST_F(Bridge, AFullSpoolIsLoggedBoundedAndPublishedInOrderOnceTheBrokerIsBack) {
  // Head office's session is kept by the broker, so that it gets every message
  // published while it reconnects.
  StartKeptSession();
  Broker->Signal(SIGTERM);
  ASSERT_EQ(Broker->Wait(), 0);

  StartSim(SalesScript(400, true), "38400");
  StartKassirod();
  StartBridge({"--set", "main", "--spool-size", "16K"});
  ASSERT_TRUE(BridgeSays("cannot connect to the broker")) << BridgeOut();
  ASSERT_TRUE(BridgeSays("the spool is full")) << BridgeOut();
  EXPECT_LE(SpoolBytes(), 16u * 1024);
  // Reports go on coming and are dropped: the spool stays within its size.
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(Dir / "sim.log").find(";A150;") != std::string::npos; }));
  EXPECT_LE(SpoolBytes(), 16u * 1024);
  EXPECT_GT(SpoolBytes(), 12u * 1024);

  StartBroker(true);
  // What the spool kept arrives first, in order from line 1; then the reports after the
  // drop, the first of them right after the last one dropped.
  std::vector<int> kept;
  int next = 0;
  for (;;) {
    const auto p = NextPublished();
    ASSERT_TRUE(p && p->Line()) << Sub->Out << BridgeOut();
    if (*p->Line() != static_cast<int>(kept.size()) + 1) {
      next = *p->Line();
      break;
    }
    kept.push_back(*p->Line());
  }
  EXPECT_GT(kept.size(), 40u);
  const auto dropped =
      BridgeProc->WaitForLine(std::regex(R"(the spool has room again; (\d+) report\(s\) were dropped, the last ECR 3 PLU_R line (\d+) receipt 1$)"));
  ASSERT_TRUE(dropped) << BridgeOut();
  EXPECT_EQ(std::stoi((*dropped)[2]) + 1, next);
  EXPECT_EQ(static_cast<int>(kept.size()) + std::stoi((*dropped)[1]), std::stoi((*dropped)[2]));
}

TEST_F(Bridge, ABackOfficeHoldingTheMainSetGetsItsReportsAndAnswersItsQueriesWhileTheBridgeListens) {
  StartBroker();
  StartSubscriber();
  StartSim(
      "ecr 3 serial 123456\n"
      "online \"{serial};{block};0;A1;1.00;1;\"\n"
      "online \"{serial};{block};1;4711;\" answer\n"  // an article query
      "online \"{serial};{block};0;A2;1.00;1;\"\n");
  StartKassirod();
  StartBridge();
  ASSERT_TRUE(BridgeSays("holding ST_ERSL on ECR 3")) << BridgeOut();

  TcpClient backOffice(ServerPort);
  ASSERT_TRUE(backOffice.Send(Message(1, 1, 3, "pw;")));
  EXPECT_EQ(backOffice.Next(), Message(1, 1, 3));
  EXPECT_EQ(backOffice.Next(), Message(1, 0x80, 3, "123456;0;A1;1.00;1;1;1;"));
  EXPECT_EQ(backOffice.Next(), Message(1, 0x81, 3, "123456;1;4711;2;1;"));
  ASSERT_TRUE(backOffice.Send(Message(1, 4, 3, "4711;COLA;1.25;")));
  EXPECT_EQ(backOffice.Next(), Message(1, 4, 3, "4711;COLA;1.25;")) << "the ECR took the answer";
  EXPECT_EQ(backOffice.Next(), Message(1, 0x80, 3, "123456;2;A2;1.00;1;3;1;"));

  // Head office gets the two reports, not the query.
  const auto first = NextPublished();
  const auto second = NextPublished();
  ASSERT_TRUE(first && second) << Sub->Out << BridgeOut();
  EXPECT_EQ(first->Line(), 1);
  EXPECT_EQ(second->Line(), 3);
  EXPECT_EQ(second->Topic, "kassiro/s1/ecr/3/PLU_R");
  EXPECT_NE(ReadFile(Dir / "sim.log").find("4711;COLA;1.25;"), std::string::npos);
}

TEST_F(Bridge, AKilledBridgeLosesNothingItHadReadAndSaysItIsOffline) {
  constexpr int count = 60;
  StartKeptSession();
  StartSalesStream(count);
  auto lines = LinesUntil(10);

  // With the broker away every report the bridge reads stays in its spool; it dies with
  // all of them read and none acknowledged by the broker. The broker is stopped, not
  // killed: what it acknowledged before it went is its to keep, and this test is about
  // what the bridge keeps.
  ASSERT_NO_FATAL_FAILURE(StopBroker());
  ASSERT_TRUE(BridgeSays("lost the broker")) << BridgeOut();
  const std::string last = "\"line\":" + std::to_string(count) + ",";
  ASSERT_TRUE(WaitUntil([&] {
    std::string all;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(SpoolDir(), ec)) all += ReadFile(e.path());
    return all.find(last) != std::string::npos;
  })) << BridgeOut();
  BridgeProc->Signal(SIGKILL);
  BridgeProc->Wait();

  StartBroker(true);
  StartBridge({"--set", "main"});
  ASSERT_TRUE(BridgeSays("spooled report(s)")) << BridgeOut();
  const auto after = LinesUntil(count);
  lines.insert(lines.end(), after.begin(), after.end());
  EXPECT_EQ(FirstCopies(lines), OneTo(count)) << "copies of the same line number may come again, none is missing";

  // A bridge that dies while the broker is there leaves its last will.
  BridgeProc->Signal(SIGKILL);
  BridgeProc->Wait();
  std::optional<TPublished> state;
  do {
    state = NextPublished("kassiro/s1/bridge/state");
  } while (state && state->Payload == "online");
  ASSERT_TRUE(state) << Sub->Out;
  EXPECT_EQ(state->Payload, "offline");
}

TEST_F(Bridge, AMainSetHeldByAnotherClientIsAskedForAgainUntilItIsFree) {
  StartBroker();
  StartSubscriber();
  StartSim("ecr 3 serial 123456\nonline \"{serial};{block};0;A;1;\"\n");
  StartKassirod();
  auto backOffice = std::make_unique<TcpClient>(ServerPort);
  ASSERT_TRUE(backOffice->Send(Message(1, 1, 3, "pw;")));
  ASSERT_EQ(backOffice->Next(), Message(1, 1, 3));
  ASSERT_EQ(backOffice->Next(), Message(1, 0x80, 3, "123456;0;A;1;1;1;"));

  StartBridge({"--set", "main"});
  ASSERT_TRUE(BridgeSays("ECR 3: ST_ERS refused: ERR_TAKEN (2); asking again in 400 ms")) << BridgeOut();
  backOffice.reset();  // its sets are free with its connection
  ASSERT_TRUE(BridgeSays("holding ST_ERS on ECR 3")) << BridgeOut();
}

// Runs a program that must succeed.
void MustRun(const std::vector<std::string>& args) {
  const auto r = kassiro::testing::RunProgram(args);
  if (r.Exit != 0) throw std::runtime_error(args[0] + " failed: " + r.Out + r.Err);
}

TEST_F(Bridge, ABrokerBehindTlsAndAPasswordTakesTheBridgeWithTheRightAccountOnly) {
  // A CA of our own, and the broker's certificate for 127.0.0.1 signed by it.
  const auto file = [&](const char* name) { return (Dir / name).string(); };
  const std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  MustRun(Concat({"/usr/bin/openssl", "req", "-x509", "-days", "1", "-subj", "/CN=Test CA", "-keyout", file("ca.key"),
                  "-out", file("ca.crt")}, ec));
  MustRun(Concat({"/usr/bin/openssl", "req", "-subj", "/CN=127.0.0.1", "-keyout", file("broker.key"), "-out",
                  file("broker.csr")}, ec));
  WriteFile(Dir / "san.ext", "subjectAltName=IP:127.0.0.1\n");
  MustRun({"/usr/bin/openssl", "x509", "-req", "-days", "1", "-in", file("broker.csr"), "-CA", file("ca.crt"), "-CAkey",
           file("ca.key"), "-CAcreateserial", "-extfile", file("san.ext"), "-out", file("broker.crt")});
  MustRun({MOSQUITTO_PASSWD_PATH, "-c", "-b", file("passwords"), "shop-1", "s3cret"});
  MustRun({MOSQUITTO_PASSWD_PATH, "-b", file("passwords"), "head-office", "hq"});
  StartBroker(false, "cafile " + file("ca.crt") + "\ncertfile " + file("broker.crt") + "\nkeyfile " +
                         file("broker.key") + "\nallow_anonymous false\npassword_file " + file("passwords") + "\n");
  ClientAuth = {"--cafile", file("ca.crt"), "-u", "head-office", "-P", "hq"};
  StartSubscriber();
  StartSim("ecr 3 serial 123456\nonline \"{serial};{block};0;A;1;\"\nloop\n");
  StartKassirod();

  BrokerUrl = "mqtts://127.0.0.1:" + std::to_string(BrokerPort);
  StartBridge({"--set", "main", "--tls-ca-file", file("ca.crt"), "--username", "shop-1",
               "--password", "wrong"});
  ASSERT_TRUE(BridgeSays("the broker refused the connection: Connection Refused: not authorised")) << BridgeOut();
  BridgeProc->Signal(SIGTERM);
  BridgeProc->Wait();

  // Without our CA the broker's certificate is not trusted.
  StartBridge({"--set", "main", "--tls-ca-path", Dir.path().string(), "--username", "shop-1",
               "--password", "s3cret"});
  ASSERT_TRUE(BridgeSays("cannot connect to the broker")) << BridgeOut();
  BridgeProc->Signal(SIGTERM);
  BridgeProc->Wait();

  // The account in a config file, as an installer writes it.
  WriteFile(Dir / "bridge.conf", "set = main\nusername = shop-1\npassword = \"s3cret\"\ntls-ca-file = " +
                                     file("ca.crt") + "\n");
  StartBridge({"--config", file("bridge.conf")});
  ASSERT_TRUE(BridgeSays("connected to the broker 127.0.0.1:" + std::to_string(BrokerPort))) << BridgeOut();
  const auto p = NextPublished();
  ASSERT_TRUE(p) << Sub->Out << BridgeOut();
  EXPECT_EQ(p->Topic, "kassiro/s1/ecr/3/PLU_R");
}

// ---- the bridge on the server's report journal

// A bridge away while the ECR reports misses nothing: started again, it reads on from its
// position. The outage here lasts 50 reports rather than a minute: nothing in the bridge
// or the journal depends on its length, only on the days the journal keeps.
TEST_F(Bridge, FromTheJournalEveryReportOfAnOutageArrivesInOrderWithItsSeq) {
  constexpr int count = 80;
  StartBroker();
  StartSubscriber();
  StartSim(SalesScript(count));
  StartKassirod({"-Journal"});
  const auto backOffice = BackOffice();
  StartBridge({"--journal", JournalDir().string()});  // listening mode, and no set taken
  std::vector<TPublished> got;
  auto until = [&](int line) {
    while (got.empty() || got.back().Line() != line) {
      const auto p = NextPublished();
      ASSERT_TRUE(p && p->Line()) << "line " << line << " never came\n" << Sub->Out << BridgeOut();
      got.push_back(*p);
    }
  };
  until(10);
  EXPECT_EQ(BridgeProc->Out.find("holding ST_ERSL"), std::string::npos) << "no set is needed";
  BridgeProc->Signal(SIGTERM);
  EXPECT_EQ(BridgeProc->Wait(), 0);
  ASSERT_TRUE(SimSent(";A60;"));
  StartBridge({"--journal", JournalDir().string()});
  until(count);
  std::vector<int> lines;
  for (const auto& p : got) {
    lines.push_back(*p.Line());
    EXPECT_EQ(p.Seq(), p.Line()) << "every copy carries its journal number: " << p.Payload;
  }
  EXPECT_EQ(FirstCopies(lines), OneTo(count));
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(count)) << "a clean stop sends nothing twice";
}

// 50 kill -9 of a bridge reading the journal while the ECR reports: every number arrives,
// and a report that comes twice comes with the same seq and the same content.
TEST_F(Bridge, FiftyKillsOfABridgeOnTheJournalLoseNoReport) {
  StartBroker();
  StartSubscriber();
  StartSim(SalesScript(40, true), "38400");
  StartKassirod({"-Journal"});
  const auto backOffice = BackOffice();
  std::map<int, std::string> bySeq;
  auto take = [&](const TPublished& p) {
    const auto seq = p.Seq();
    ASSERT_TRUE(seq) << p.Payload;
    const auto [it, isNew] = bySeq.emplace(*seq, p.Payload);
    EXPECT_EQ(it->second, p.Payload) << "seq " << *seq << " came with two contents";
  };
  for (int kill = 0; kill < 50; ++kill) {
    StartBridge({"--journal", JournalDir().string()});
    const auto p = NextPublished();  // the kill lands while reports flow
    ASSERT_TRUE(p) << Sub->Out << BridgeOut();
    take(*p);
    BridgeProc->Signal(SIGKILL);
    BridgeProc->Wait();
  }
  const int highest = bySeq.rbegin()->first;
  StartBridge({"--journal", JournalDir().string()});
  while (bySeq.empty() || bySeq.rbegin()->first < highest + 5) {
    const auto p = NextPublished();
    ASSERT_TRUE(p) << BridgeOut();
    take(*p);
  }
  for (int seq = 1; seq <= highest; ++seq) EXPECT_TRUE(bySeq.count(seq)) << "report " << seq << " was lost";
}

// A journal that no longer reaches back to the bridge's position (pruned, or a segment
// gone): the bridge names the numbers lost, once, and goes on from the oldest record.
TEST_F(Bridge, AJournalThatNoLongerReachesTheBridgesPositionIsAGapSaidOnce) {
  StartBroker();
  StartSubscriber();
  StartSim(SalesScript(60));
  StartKassirod({"-Journal"});
  {
    const auto backOffice = BackOffice();
    ASSERT_TRUE(SimSent(";A5;"));
    Kassirod->Signal(SIGTERM);
    ASSERT_EQ(Kassirod->Wait(), 0);
  }
  std::vector<fs::path> segments;
  for (const auto& e : fs::directory_iterator(JournalDir()))
    if (e.path().extension() == ".krj") segments.push_back(e.path());
  ASSERT_EQ(segments.size(), 1u);
  StartKassirod();  // the journal goes on in a new segment
  const auto backOffice = BackOffice();
  ASSERT_TRUE(SimSent(";A20;"));
  fs::remove(segments[0]);

  StartBridge({"--journal", JournalDir().string()});
  const auto gap = BridgeProc->WaitForLine(std::regex(R"(journal: records 1 to (\d+) are missing; going on from (\d+)$)"));
  ASSERT_TRUE(gap) << BridgeOut();
  const int next = std::stoi((*gap)[2]);
  EXPECT_EQ(std::stoi((*gap)[1]) + 1, next);
  const auto first = NextPublished();
  ASSERT_TRUE(first) << Sub->Out << BridgeOut();
  EXPECT_EQ(first->Seq(), next);
  ASSERT_TRUE(NextPublished());
  EXPECT_EQ(BridgeProc->Out.find("are missing", BridgeProc->Out.find("are missing") + 1), std::string::npos)
      << "said once: " << BridgeOut();
}

}  // namespace
