// kassirod.exe under Wine against the native simulator: the simulator's pseudo-terminal
// is COM1 of a Wine prefix made for these tests, and native clients talk to the server
// over loopback TCP. Runs when KASSIRO_WINDOWS_BIN names the folder of the Windows build's
// programs (make test-windows sets it) and wine is installed; skipped otherwise.
//
// Where Wine is not Windows: a second open of COM1 succeeds under Wine (Windows refuses
// it, the line is held by its first opener); and all processes run as one user, so the
// channel's refusal of another user is not shown here.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "Process.h"
#include "Programs.h"
#include "TcpClient.h"
#include "TempDir.h"
#include "core/KassiroConstants.h"

namespace kassiro {
namespace {

namespace fs = std::filesystem;
using namespace kassiro::testing;
using namespace std::chrono_literals;

const fs::path BinDir = KASSIRO_BIN_DIR;

std::string Msg(std::uint8_t st, std::uint8_t cop, std::uint8_t ecr, std::string_view text = {}) {
  return std::string{static_cast<char>(st), static_cast<char>(cop), 0, static_cast<char>(ecr), 0} + std::string(text);
}

// A register that closes a receipt of one line again and again, and one that asks for
// an article's data.
constexpr const char* kShop = R"(
ecr 3
online "{serial};{block};0;11;"
online "{serial};{block};3;4;"
loop
ecr 4
online "{serial};{block};8;4711;;2.50;" answer
)";

// The receipt number of a report: the text's last field.
std::optional<long> Bon(const std::string& msg) {
  if (msg.size() < 7 || msg.back() != ';') return std::nullopt;
  const auto start = msg.find_last_of(';', msg.size() - 2);
  return std::stol(msg.substr(start + 1));
}

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen((command + " 2>&1").c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    ::pclose(p);
  }
  return out;
}

// One Wine prefix for all tests: made once (a few seconds), its COM1 a link that each
// test points at its simulator's pseudo-terminal, its services started before any test
// so that none waits for them, and everything gone at the end.
class KassirodWine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* bin = std::getenv("KASSIRO_WINDOWS_BIN");
    std::string wine = Shell("command -v wine");
    while (!wine.empty() && wine.back() == '\n') wine.pop_back();
    if (bin == nullptr || !fs::exists(fs::path(bin) / "kassirod.exe") || wine.empty()) return;
    WinBin = bin;
    Wine = wine;
    Prefix = std::make_unique<TempDir>();
    ::setenv("WINEPREFIX", (Prefix->path() / "prefix").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    Shell("wine wineboot -i </dev/null >/dev/null");
    Shell("wine reg add 'HKLM\\Software\\Wine\\Ports' /v COM1 /t REG_SZ /d " + Com1Link().string() + " /f </dev/null");
    Shell("wineserver -k");
    // The server's services inherit its first client's output: started here, they hold
    // nothing of the tests'.
    Shell("wineserver -p >/dev/null 2>&1; wine wineboot </dev/null >/dev/null 2>&1");
    // Wine gives the machine's own serial devices the next free names: never ours.
    for (const auto& e : fs::directory_iterator(Prefix->path() / "prefix" / "dosdevices")) {
      const std::string name = e.path().filename().string();
      if (name.starts_with("com") && fs::is_symlink(e) && fs::read_symlink(e).string().starts_with("/dev/tty"))
        fs::remove(e.path());
    }
    Ready = fs::read_symlink(Prefix->path() / "prefix" / "dosdevices" / "com1") == Com1Link();
  }
  static void TearDownTestSuite() {
    if (Prefix) Shell("wineserver -k");
    Prefix.reset();
  }

  void SetUp() override {
    if (WinBin.empty()) GTEST_SKIP() << "KASSIRO_WINDOWS_BIN or wine missing";
    ASSERT_TRUE(Ready) << "COM1 of the prefix is not the test's link";
    fs::copy_file(WinBin / "kassirod.exe", Dir / "kassirod.exe");
  }

  static fs::path Com1Link() { return Prefix->path() / "com1.link"; }

  void StartSim(const std::string& script) {
    std::ofstream(Dir / "shop.sim") << script;
    Sim = StartEcrsim({(BinDir / "ecrsim").string(), "--script", (Dir / "shop.sim").string(), "--log",
                       (Dir / "sim.log").string()});
    fs::remove(Com1Link());
    fs::create_symlink(Sim.Path, Com1Link());
  }

  std::vector<std::string> Exe(std::vector<std::string> params) const {
    params.insert(params.begin(), {Wine, (Dir / "kassirod.exe").string()});
    return params;
  }

  // The server on COM1, once it printed its start line (CRLF: a Windows program's).
  TKassirod StartServer() const {
    TKassirod server{std::make_unique<TChild>(Exe({"-Port:COM1", "-Speed:38400", "-IPPort:0", "-Password:pw"}), 60s),
                     {}, {}};
    const auto m = server.Child->WaitForLine(std::regex(R"( started on (\S+)\. Clients connect on TCP port (\d+)\.\r?$)"));
    if (!m) throw std::runtime_error("kassirod.exe did not start: " + server.Child->Out + server.Child->Err);
    server.Port = (*m)[1];
    server.TcpPort = static_cast<std::uint16_t>(std::stoi((*m)[2]));
    return server;
  }

  TRunResult Request(std::vector<std::string> params) const { return RunProgram(Exe(std::move(params))); }

  // Takes the report set of ECR 3 and gathers the receipt numbers of n reports.
  static void Receipts(TcpClient& client, int n, std::vector<std::pair<std::uint8_t, long>>& into) {
    ASSERT_TRUE(client.Send(Msg(ST_ERS, COP_REQ, 3)));
    for (int got = 0; got < n;) {
      const auto m = client.Next(20s);
      ASSERT_TRUE(m) << "the server went quiet";
      if (static_cast<std::uint8_t>((*m)[1]) == COP_REQ) {
        ASSERT_EQ((*m)[4], 0) << "take refused";
        continue;
      }
      const auto bon = Bon(*m);
      ASSERT_TRUE(bon) << "not a report";
      into.emplace_back(static_cast<std::uint8_t>((*m)[1]), *bon);
      ++got;
    }
  }

  static inline fs::path WinBin;
  static inline std::string Wine;  // its path: the programs are started without a search
  static inline std::unique_ptr<TempDir> Prefix;
  static inline bool Ready = false;
  TempDir Dir;  // first: it goes last, after every program in it has ended
  TEcrsim Sim;
};

// A set taken, an in-line command answered, reports delivered with receipt numbers; the
// running copy answers -Status and ends on -Q: with its password, not with another.
TEST_F(KassirodWine, ServesTheLineOnCom1AndAnswersALaterCopy) {
  StartSim(kShop);
  TKassirod server = StartServer();
  EXPECT_EQ(server.Port, "COM1");
  TcpClient client(server.TcpPort);

  ASSERT_TRUE(client.Send(Msg(ST_ECP, COP_REQ, 4)));
  std::optional<std::string> m;
  ASSERT_TRUE(m = client.Next(20s));
  EXPECT_EQ(static_cast<std::uint8_t>((*m)[1]), COP_REQ);
  ASSERT_TRUE(m = client.Next(20s));
  ASSERT_EQ(static_cast<std::uint8_t>((*m)[1]), KPQ) << "the in-line question";
  ASSERT_TRUE(client.Send(Msg(ST_ECP, COP_ANSWER, 4, "4711;Espresso;2.50;")));
  ASSERT_TRUE(m = client.Next(20s));
  EXPECT_EQ(static_cast<std::uint8_t>((*m)[1]), COP_ANSWER);
  EXPECT_EQ((*m)[4], 0) << "the answer reached the register";

  std::vector<std::pair<std::uint8_t, long>> reports;
  Receipts(client, 6, reports);
  std::set<long> closed;
  for (const auto& [event, bon] : reports) {
    EXPECT_GT(bon, 0);
    if (event == ORD_R) {
      EXPECT_TRUE(closed.insert(bon).second) << "receipt " << bon << " closed twice";
    }
  }
  EXPECT_GE(closed.size(), 2u);

  const TRunResult status = Request({"-Status"});
  EXPECT_EQ(status.Exit, 0) << status.Err;
  EXPECT_NE(status.Out.find("COM1"), std::string::npos) << status.Out;
  const TRunResult wrong = Request({"-Q:nope"});
  EXPECT_EQ(wrong.Exit, 1);
  EXPECT_NE(wrong.Err.find("wrong password"), std::string::npos) << wrong.Err;
  EXPECT_TRUE(server.Child->Running());
  const TRunResult quit = Request({"-Q:pw"});
  EXPECT_EQ(quit.Exit, 0) << quit.Err;
  EXPECT_EQ(server.Child->Wait(), 0);
}

// Killed in the middle of its receipts and started again, the server goes on with the
// numbers: none closed before the kill is handed out again.
TEST_F(KassirodWine, ReceiptNumbersGoOnAfterAKill) {
  StartSim(kShop);
  std::vector<std::pair<std::uint8_t, long>> before, after;
  {
    TKassirod server = StartServer();
    TcpClient client(server.TcpPort);
    Receipts(client, 8, before);
    server.Child->Signal(SIGKILL);
    server.Child->Wait();
  }
  TKassirod server = StartServer();
  TcpClient client(server.TcpPort);
  Receipts(client, 8, after);
  long highestClosed = 0;
  for (const auto& [event, bon] : before) {
    if (event == ORD_R) highestClosed = std::max(highestClosed, bon);
  }
  for (const auto& [event, bon] : after) {
    if (event == ORD_R) {
      EXPECT_GT(bon, highestClosed) << "receipt " << bon << " handed out again after the kill";
    }
  }
  ASSERT_EQ(Request({"-Q:pw"}).Exit, 0);
  server.Child->Wait();
}

// Registered with its files in a folder of its own, started and stopped by the service
// manager, and removed. Wine's sc.exe has no pause and continue; the control handler's
// own test shows those, and they were seen through the service manager's API.
TEST_F(KassirodWine, RunsAsAServiceThatSavesAndStops) {
  StartSim(kShop);
  std::string folder = "Z:" + Dir.path().string();
  std::replace(folder.begin(), folder.end(), '/', '\\');
  const std::string name = "KassiroTest" + std::to_string(::getpid());
  const auto sc = [&](const std::string& verb) { return RunProgram({Wine, "sc", verb, name}); };
  const auto log = [&] { return ReadFile(Dir / "kassirod.log"); };

  const TRunResult installed = Request({"-Install:" + name, "-Dir:" + folder});
  ASSERT_EQ(installed.Exit, 0) << installed.Out << installed.Err;
  ASSERT_EQ(sc("start").Exit, 0);
  ASSERT_TRUE(WaitUntil([&] { return log().find(" started on COM1.") != std::string::npos; }, 60s)) << log();
  EXPECT_NE(sc("query").Out.find("RUNNING"), std::string::npos);
  const TRunResult status = Request({"-Dir:" + folder, "-Status"});
  EXPECT_EQ(status.Exit, 0) << status.Err;

  ASSERT_EQ(sc("stop").Exit, 0);
  EXPECT_TRUE(WaitUntil([&] { return sc("query").Out.find("STOPPED") != std::string::npos; }, 60s));
  EXPECT_NE(log().find(" closed by user."), std::string::npos) << "stopped without saving: " << log();
  const TRunResult removed = Request({"-Uninstall:" + name});
  EXPECT_EQ(removed.Exit, 0) << removed.Err;
  EXPECT_EQ(sc("query").Out.find("RUNNING"), std::string::npos);
}

}  // namespace
}  // namespace kassiro
