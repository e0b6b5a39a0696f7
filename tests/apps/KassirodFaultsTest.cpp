// kassirod against the faults of the world: kill -9 at any moment, damaged, removed or
// unreachable settings files, bad parameters, a log that cannot rotate and a signal in
// the middle of the start. Each test runs a copy of the program in a folder of its own
// against ecrsim on a pseudo-terminal and talks to it over loopback, as a shop would.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "Programs.h"
#include "TcpClient.h"
#include "TempDir.h"
#include "core/CodeStru.h"
#include "core/ReportJournal.h"
#include "core/TheNewDefs.h"

namespace {

namespace fs = std::filesystem;
using kassiro::TCodeStru;
using kassiro::TIniStru;
using kassiro::TIniStruImage;
using namespace kassiro::testing;
using TServer = TKassirod;

const fs::path BinDir = KASSIRO_BIN_DIR;

constexpr std::uint8_t ST_ERS = 1;
constexpr std::uint8_t COP_REQ = 1;
constexpr std::uint8_t PLU_R = 0x80;
constexpr std::uint8_t ORD_R = 0x89;

// Two fast registers: a receipt of one line, closed at once, over and over.
constexpr const char* kReceipts = R"(
ecr 3
online "{serial};{block};0;11;"
online "{serial};{block};3;4;"
loop
ecr 7
online "{serial};{block};0;22;"
online "{serial};{block};3;4;"
loop
)";

std::string TakeMessage(std::uint8_t ecr) {
  return std::string{static_cast<char>(ST_ERS), static_cast<char>(COP_REQ), 0, static_cast<char>(ecr), 0};
}

// A report of a receipt as a client gets it: the ECR, the event and the receipt number
// (the text's last field).
struct TReport {
  int Ecr;
  std::uint8_t Event;
  long Bon;
};

std::optional<TReport> AsReport(const std::string& msg) {
  if (msg.size() < 6 || static_cast<std::uint8_t>(msg[0]) != ST_ERS) return std::nullopt;
  const auto event = static_cast<std::uint8_t>(msg[1]);
  if (event != PLU_R && event != ORD_R) return std::nullopt;
  const std::string text = msg.substr(5);
  if (text.back() != ';') return std::nullopt;
  const auto start = text.find_last_of(';', text.size() - 2);
  const std::string last = text.substr(start == std::string::npos ? 0 : start + 1);
  return TReport{static_cast<std::uint8_t>(msg[3]), event, std::stol(last)};
}

// Every receipt number the clients were given: a number belongs to one ECR, and once its
// receipt is closed it never comes again.
class TReceiptLedger {
 public:
  void Add(const TReport& r) {
    const auto [it, isNew] = FOwner.emplace(r.Bon, r.Ecr);
    EXPECT_EQ(it->second, r.Ecr) << "receipt " << r.Bon << " handed to ECR " << it->second
                                 << " and to ECR " << r.Ecr;
    EXPECT_FALSE(FClosed.count(r.Bon)) << "receipt " << r.Bon << " handed out again after it was closed";
    if (r.Event == ORD_R) FClosed.insert(r.Bon);
    FHighest = std::max(FHighest, r.Bon);
    ++FCount;
  }
  long Highest() const { return FHighest; }
  int Count() const { return FCount; }

 private:
  std::map<long, int> FOwner;
  std::set<long> FClosed;
  long FHighest = 0;
  int FCount = 0;
};

class KassirodFaults : public ::testing::Test {
 protected:
  KassirodFaults() { fs::copy_file(BinDir / "kassirod", Exe()); }

  fs::path Exe() const { return Dir / "kassirod"; }
  fs::path Stg() const { return Dir / "kassirod.STG"; }
  fs::path Stb() const { return Dir / "kassirod.STB"; }
  std::string Log() const { return ReadFile(Dir / "kassirod.log"); }
  bool InLog(const std::string& text) const { return Log().find(text) != std::string::npos; }

  void StartSim(const std::string& script) {
    std::ofstream(Dir / "shop.sim") << script;
    Sim = StartEcrsim(
        {(BinDir / "ecrsim").string(), "--script", (Dir / "shop.sim").string(), "--log", (Dir / "sim.log").string()});
  }

  std::vector<std::string> Command(std::vector<std::string> params) const {
    params.insert(params.begin(), Exe().string());
    return params;
  }
  std::vector<std::string> OnSim(std::vector<std::string> more = {}) const {
    more.insert(more.begin(), {"-Port:" + Sim.Port, "-IPPort:0"});
    return more;
  }

  TServer StartServer(const std::vector<std::string>& params) const { return StartKassirod(Command(params)); }

  TRunResult Run(const std::vector<std::string>& params) const { return RunProgram(Command(params)); }

  // The settings record as stored, read from a copy of the file so nothing is held.
  std::optional<TIniStru> Stored(const fs::path& file) const {
    TempDir scratch;
    fs::copy_file(file, scratch / "s.STG");
    TCodeStru stru(scratch / "s.STG", kassiro::INI_STRU_SIZE);
    TIniStruImage image{};
    if (!stru.Load(image)) return std::nullopt;
    return kassiro::DecodeIniStru(image);
  }

  // Takes ST_ERS on the ECRs and hands every report to the ledger until `reports` came
  // (or, with -1, until the connection ends).
  static void TakeAndCount(TcpClient& client, const std::vector<int>& ecrs, TReceiptLedger& ledger,
                           int reports) {
    for (const int e : ecrs) ASSERT_TRUE(client.Send(TakeMessage(static_cast<std::uint8_t>(e))));
    int taken = 0;
    while (reports != 0) {
      const auto msg = client.Next();
      if (!msg) {
        ASSERT_LT(reports, 0) << "the server went quiet";
        return;
      }
      if (static_cast<std::uint8_t>((*msg)[1]) == COP_REQ) {
        EXPECT_EQ(static_cast<std::uint8_t>((*msg)[4]), 0) << "take refused";
        ++taken;
        continue;
      }
      const auto r = AsReport(*msg);
      ASSERT_TRUE(r) << "unexpected message";
      ledger.Add(*r);
      if (reports > 0) --reports;
    }
  }

  TempDir Dir;  // first: it goes last, after every program in it has ended
  TEcrsim Sim;
};

// The environment of the programs started while it lives; the old one comes back after.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() {
    if (FOld) ::setenv(FName, FOld->c_str(), 1);
    else ::unsetenv(FName);
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  const char* FName;
  std::optional<std::string> FOld;
};

// The disk as it is, and one whose every flush takes 30 ms: the receipt number is then
// drawn long before it is on disk, so most kills land between the two.
class KassirodKills : public KassirodFaults, public ::testing::WithParamInterface<int> {
 protected:
  TServer StartOnDisk(const std::vector<std::string>& params) const {
    if (GetParam() == 0) return StartServer(params);
    const TScopedEnv preload("LD_PRELOAD", SLOW_FLUSH_LIB);
    const TScopedEnv slow("SLOW_FLUSH_MS", std::to_string(GetParam()));
    const char* asan = std::getenv("ASAN_OPTIONS");  // the shim comes before the sanitizer
    const TScopedEnv order("ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0");
    return StartServer(params);
  }
};

INSTANTIATE_TEST_SUITE_P(Flush, KassirodKills, ::testing::Values(0, 30),
                         [](const auto& info) { return info.param == 0 ? std::string("DiskAsItIs") : "SlowFlush"; });

// kill -9 at random moments while two fast registers close receipts: no number ever
// comes twice, the settings survive every kill, and a clean stop stores the exact next
// number.
TEST_P(KassirodKills, ReceiptNumbersAreNeverHandedOutTwiceAcrossKills) {
  StartSim(kReceipts);
  TReceiptLedger ledger;
  std::mt19937 rng(20261210);
  std::uniform_int_distribution<int> reportsBeforeKill(1, 12);
  for (int round = 0; round < 16; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TServer s = StartOnDisk(OnSim(round == 0 ? std::vector<std::string>{"-Password:secret"}
                                             : std::vector<std::string>{}));
    TcpClient client(s.TcpPort);
    TakeAndCount(client, {3, 7}, ledger, reportsBeforeKill(rng));
    s.Child->Signal(SIGKILL);
    EXPECT_FALSE(s.Child->Wait());
    TakeAndCount(client, {}, ledger, -1);  // whatever was already on its way
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(ledger.Count(), 16);

  TServer last = StartOnDisk(OnSim());
  {
    TcpClient client(last.TcpPort);
    TakeAndCount(client, {3, 7}, ledger, 5);
    last.Child->Signal(SIGTERM);
    EXPECT_EQ(last.Child->Wait(), 0);
    TakeAndCount(client, {}, ledger, -1);
  }
  const auto stored = Stored(Stg());
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->sPassword, "secret") << "the settings were lost to a kill";
  const long current = std::max(stored->ERData[3].Bon, stored->ERData[7].Bon);
  EXPECT_GE(current, ledger.Highest());
  EXPECT_EQ(stored->GlobalBon, current + 1) << "the clean stop stores the exact next number";
}

// With the report journal: kill -9 at random moments under traffic leaves a journal
// without a gap or a repeated number, holding every report a client was sent; -Status
// shows its numbers and -Journal:json prints each record as a line.
TEST_F(KassirodFaults, TheReportJournalHasNoGapNoRepeatAndEveryDeliveredReportAcrossKills) {
  StartSim(kReceipts);
  TReceiptLedger ledger;
  std::vector<std::string> received;
  std::mt19937 rng(20261211);
  std::uniform_int_distribution<int> reportsBeforeKill(1, 12);
  auto takeAndKeep = [&](TcpClient& client, const std::vector<int>& ecrs, int reports) {
    for (const int e : ecrs) ASSERT_TRUE(client.Send(TakeMessage(static_cast<std::uint8_t>(e))));
    while (reports != 0) {
      const auto msg = client.Next();
      if (!msg) return;
      if (static_cast<std::uint8_t>((*msg)[1]) == COP_REQ) continue;
      received.push_back(*msg);
      if (reports > 0) --reports;
    }
  };
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TServer s = StartServer(OnSim(round == 0 ? std::vector<std::string>{"-Journal"} : std::vector<std::string>{}));
    TcpClient client(s.TcpPort);
    takeAndKeep(client, {3, 7}, reportsBeforeKill(rng));
    s.Child->Signal(SIGKILL);
    EXPECT_FALSE(s.Child->Wait());
    takeAndKeep(client, {}, -1);
  }
  TServer last = StartServer(OnSim());
  {
    TcpClient client(last.TcpPort);
    takeAndKeep(client, {3, 7}, 3);
    const TRunResult status = Run({"-Status"});
    EXPECT_NE(status.Out.find("Report journal: 1 to "), std::string::npos) << status.Out;
    EXPECT_NE(Run({"-Status:json"}).Out.find("\"journal\":{\"first\":1,"), std::string::npos);
    last.Child->Signal(SIGTERM);
    EXPECT_EQ(last.Child->Wait(), 0);
    takeAndKeep(client, {}, -1);
  }
  ASSERT_GT(received.size(), 8u);

  std::vector<std::string> problems;
  kassiro::TJournalReader reader(Dir / "kassirod.journal", 1,
                                 [&](const std::string& p) { problems.push_back(p); });
  std::multiset<std::string> journaled;
  std::uint64_t expected = 1;
  while (const auto r = reader.Next()) {
    EXPECT_EQ(r->Seq, expected) << "a gap or a repeat";
    expected = r->Seq + 1;
    journaled.insert(r->Message);
  }
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
  // A report the ECR sent again after a kill may stand twice, under two numbers.
  for (const auto& m : received) EXPECT_GE(journaled.count(m), 1u) << "a delivered report is not in the journal";

  const TRunResult dump = Run({"-Journal:json"});
  EXPECT_EQ(dump.Exit, 0) << dump.Err;
  EXPECT_EQ(static_cast<std::uint64_t>(std::count(dump.Out.begin(), dump.Out.end(), '\n')), expected - 1);
  EXPECT_EQ(dump.Out.rfind("{\"seq\":1,", 0), 0u) << dump.Out.substr(0, 200);
}

// A damaged settings file is read from its copy; only when both are damaged is the file
// kept aside, which the operator is told, and the server starts with the defaults.
TEST_F(KassirodFaults, ADamagedSettingsFileIsRecoveredFromItsCopy) {
  StartSim(kReceipts);
  {
    TServer s = StartServer(OnSim({"-Password:secret", "-Offset:500"}));
    s.Child->Signal(SIGTERM);
    ASSERT_EQ(s.Child->Wait(), 0);
  }
  const std::string good = ReadFile(Stg());
  const auto damage = [&](const fs::path& p) {
    std::string bytes = good;
    bytes.resize(700);  // torn in the middle of a save
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
  };

  damage(Stg());
  {
    TServer s = StartServer(OnSim());
    EXPECT_TRUE(InLog("kassirod.STG is damaged; the settings were restored from its copy")) << Log();
    TcpClient client(s.TcpPort);
    TReceiptLedger ledger;
    TakeAndCount(client, {3}, ledger, 1);
    EXPECT_GE(ledger.Highest(), 500) << "the counter went back";
    s.Child->Signal(SIGTERM);
    EXPECT_EQ(s.Child->Wait(), 0);
    EXPECT_EQ(s.Child->Err, "");
  }
  ASSERT_TRUE(Stored(Stg()));
  EXPECT_EQ(Stored(Stg())->sPassword, "secret");

  damage(Stg());
  damage(Stb());
  TServer s = StartServer(OnSim());
  s.Child->Signal(SIGTERM);
  EXPECT_EQ(s.Child->Wait(), 0);
  const std::string told = "and its copy are damaged; the server goes on with the default settings.";
  EXPECT_NE(s.Child->Err.find(told), std::string::npos) << s.Child->Err;
  EXPECT_TRUE(InLog(told)) << Log();
  int aside = 0;
  for (const auto& e : fs::directory_iterator(Dir.path())) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("kassirod.STG.damaged-")) {
      ++aside;
      EXPECT_EQ(ReadFile(e.path()), good.substr(0, 700));
      EXPECT_NE(s.Child->Err.find("was kept as " + e.path().string()), std::string::npos) << s.Child->Err;
    }
  }
  EXPECT_EQ(aside, 1);
  ASSERT_TRUE(Stored(Stg()));
  EXPECT_EQ(Stored(Stg())->sPassword, "");
}

// The settings file removed, or replaced by another, under a running copy: its next save
// takes the file at the name again, so a second copy stays out and the counter goes on.
TEST_F(KassirodFaults, ASettingsFileRemovedOrReplacedIsWrittenAnewAndHeld) {
  StartSim(kReceipts);
  for (const bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replaced" : "removed");
    const std::string before = fs::exists(Stg()) ? ReadFile(Stg()) : "";
    TServer first = StartServer(OnSim());
    if (replace) {
      std::ofstream(Dir / "other", std::ios::binary) << before;  // an older file
      fs::rename(Dir / "other", Stg());
    } else {
      fs::remove(Stg());
    }
    TReceiptLedger ledger;
    TcpClient client(first.TcpPort);
    TakeAndCount(client, {3}, ledger, 2);  // a number is drawn: the settings are saved
    EXPECT_TRUE(InLog("kassirod.STG was removed or replaced while the server ran; it is written anew"))
        << Log();

    const TRunResult second = Run(OnSim());
    EXPECT_EQ(second.Exit, 0);
    EXPECT_EQ(second.Out + second.Err, "") << "a second copy started";
    EXPECT_TRUE(first.Child->Running());

    first.Child->Signal(SIGTERM);
    EXPECT_EQ(first.Child->Wait(), 0);
    TakeAndCount(client, {}, ledger, -1);
    const auto stored = Stored(Stg());
    ASSERT_TRUE(stored);
    EXPECT_GT(stored->GlobalBon, ledger.Highest()) << "the counter went back";
  }
}

// Only "another copy holds the file" ends silently; a folder where the settings file
// cannot be opened or created says why and ends with a failure.
TEST_F(KassirodFaults, ASettingsFileThatCannotBeOpenedIsReported) {
  fs::create_directory(Stg());
  const TRunResult r = Run({"-Port:/dev/null", "-IPPort:0"});
  EXPECT_EQ(r.Exit, 1);
  EXPECT_EQ(r.Err, "Cannot open the settings file " + Stg().string() + ": Is a directory\n");
  EXPECT_TRUE(InLog("Cannot open the settings file " + Stg().string() + ": Is a directory")) << Log();
  fs::remove(Stg());

  // Without write access, where an unprivileged user can be arranged.
  if (::getuid() != 0 || !fs::exists("/usr/bin/setpriv")) return;
  TempDir userDir;
  fs::copy_file(BinDir / "kassirod", userDir / "kassirod");
  const auto asNobody = [&] {
    return RunProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                       (userDir / "kassirod").string(), "-Port:/dev/null", "-IPPort:0"});
  };
  fs::permissions(userDir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
  TRunResult denied = asNobody();  // a folder it may not write into
  EXPECT_EQ(denied.Exit, 1);
  EXPECT_EQ(denied.Err, "Cannot open the settings file " + (userDir / "kassirod.STG").string() +
                            ": Permission denied\n");
  std::ofstream(userDir / "kassirod.STG") << "";
  fs::permissions(userDir / "kassirod.STG", fs::perms::owner_read | fs::perms::others_read);
  denied = asNobody();  // a file it may only read
  EXPECT_EQ(denied.Exit, 1);
  EXPECT_EQ(denied.Err, "Cannot open the settings file " + (userDir / "kassirod.STG").string() +
                            ": Permission denied\n");
}

// A speed the line does not support, or a port that is not there, is refused before
// anything is stored: the next start without them works.
TEST_F(KassirodFaults, ABadSpeedOrPortIsRefusedAndNotStored) {
  StartSim(kReceipts);
  {
    TServer s = StartServer(OnSim({"-Password:secret"}));
    s.Child->Signal(SIGTERM);
    ASSERT_EQ(s.Child->Wait(), 0);
  }
  const std::string settings = ReadFile(Stg());
  const struct {
    std::vector<std::string> params;
    std::string error;
  } cases[] = {
      {{"-Speed:12345"}, "Bad parameter: SPEED:12345 (speeds: 1200 2400 4800 9600 14400 19200 28800 38400)"},
      {{"-Speed:0"}, "Bad parameter: SPEED:0"},
      {{"-Port:ttyZZ9"}, "Bad parameter: PORT:ttyZZ9 (no such device)"},
      {{"-Port:"}, "Bad parameter: PORT (no port name)"},
      {{"-Password:new", "-Speed:9601"}, "Bad parameter: SPEED:9601 (speeds: 1200 2400 4800 9600 14400 19200 28800 38400)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const TRunResult r = Run(c.params);
    EXPECT_EQ(r.Exit, 2);
    EXPECT_EQ(r.Err, c.error + "\n");
    EXPECT_TRUE(ReadFile(Stg()) == settings) << "the settings were changed";
  }
  TServer s = StartServer(OnSim({"-Speed:9600"}));
  s.Child->Signal(SIGTERM);
  EXPECT_EQ(s.Child->Wait(), 0);
  ASSERT_TRUE(Stored(Stg()));
  EXPECT_EQ(Stored(Stg())->Speed, 9600);
  EXPECT_EQ(Stored(Stg())->sPassword, "secret");
}

// An old log that cannot be moved aside (a non-empty folder of the older generation's
// name): the log starts anew instead of growing without bound, and says so.
TEST_F(KassirodFaults, ALogThatCannotRotateStaysBounded) {
  StartSim(kReceipts);
  std::ofstream(Dir / "kassirod.log") << "";
  fs::resize_file(Dir / "kassirod.log", 5242880);
  fs::create_directory(Dir / "kassirod.LO0");
  std::ofstream(Dir / "kassirod.LO0" / "keep") << "x";
  TServer s = StartServer(OnSim());
  s.Child->Signal(SIGTERM);
  EXPECT_EQ(s.Child->Wait(), 0);
  EXPECT_LT(fs::file_size(Dir / "kassirod.log"), 4096u);
  EXPECT_TRUE(InLog("The log could not be moved aside to " + (Dir / "kassirod.LO0").string())) << Log();
  EXPECT_TRUE(InLog(Title + " closed by user.")) << Log();
  EXPECT_EQ(ReadFile(Dir / "kassirod.LO0" / "keep"), "x");
}

// Another user of a shared folder made the server's files links to files elsewhere (a
// root-only file in a shop) or to nowhere: nothing is written through them, nothing is
// created where they point, and each refusal names its file. The settings file itself
// refused ends the start, as any settings file that cannot be opened does.
TEST_F(KassirodFaults, LinksInPlaceOfItsFilesAreNeverFollowed) {
  StartSim(kReceipts);
  TempDir elsewhere;
  const fs::path target = elsewhere / "root-only";
  std::ofstream(target) << "keep\n";
  fs::create_symlink(target, Dir / "kassirod.log");
  fs::create_symlink(target, Dir / "kassirod.trace");
  fs::create_symlink(elsewhere / "made", Stb());
  const std::string link = ": it is a symbolic link, not a regular file";
  {
    TServer s = StartServer(OnSim());
    const TRunResult trace = Run({"-Trace:1"});
    EXPECT_EQ(trace.Exit, 1);
    EXPECT_EQ(trace.Err, "kassirod: no line trace: " + (Dir / "kassirod.trace").string() + link + "\n");
    s.Child->Signal(SIGTERM);
    EXPECT_EQ(s.Child->Wait(), 0);
    for (const std::string& told : {"The log file " + (Dir / "kassirod.log").string() + " cannot be opened" + link,
                                     "The copy " + Stb().string() + " of the settings cannot be opened" + link}) {
      EXPECT_NE(s.Child->Err.find(told), std::string::npos) << s.Child->Err;
    }
  }
  EXPECT_EQ(ReadFile(target), "keep\n");
  EXPECT_FALSE(fs::exists(elsewhere / "made"));
  EXPECT_TRUE(Stored(Stg())) << "the settings are kept in the file itself";

  fs::remove(Stg());
  fs::create_symlink(target, Stg());
  const TRunResult r = Run(OnSim());
  EXPECT_EQ(r.Exit, 1);
  EXPECT_NE(r.Err.find("Cannot open the settings file " + Stg().string() + link + "\n"), std::string::npos) << r.Err;
  EXPECT_EQ(ReadFile(target), "keep\n");
}

// A FIFO in place of the log or the trace, and an INI file that is a FIFO, a link to
// /dev/zero or huge: the start and a trace request go on at once (a FIFO would hold them
// for good, /dev/zero would be read without end), SIGTERM stops the server, and the
// refusals name their files.
TEST_F(KassirodFaults, AFifoOrAnEndlessFileInPlaceOfItsFilesHoldsNothingUp) {
  StartSim(kReceipts);
  ASSERT_EQ(::mkfifo((Dir / "kassirod.log").c_str(), 0666), 0);
  ASSERT_EQ(::mkfifo((Dir / "kassirod.trace").c_str(), 0666), 0);
  const fs::path ini = Dir / "kassirod.INI";
  const struct {
    const char* name;
    std::function<void()> make;
    std::string problem;
  } inis[] = {
      {"INI a FIFO", [&] { ASSERT_EQ(::mkfifo(ini.c_str(), 0666), 0); }, "it is a FIFO, not a regular file"},
      {"INI linked to /dev/zero", [&] { fs::create_symlink("/dev/zero", ini); }, "it is a symbolic link, not a regular file"},
      {"INI huge", [&] { std::ofstream(ini) << "[Options]\nLanguageID=2\n"; fs::resize_file(ini, std::uintmax_t{1} << 32); },
       "it is larger than 4096 bytes"},
  };
  for (const auto& c : inis) {
    SCOPED_TRACE(c.name);
    fs::remove(ini);
    c.make();
    TServer s = StartServer(OnSim());
    const TRunResult trace = Run({"-Trace:1"});
    EXPECT_EQ(trace.Exit, 1);
    EXPECT_EQ(trace.Err, "kassirod: no line trace: " + (Dir / "kassirod.trace").string() +
                             ": it is a FIFO, not a regular file\n");
    s.Child->Signal(SIGTERM);
    EXPECT_EQ(s.Child->Wait(), 0);
    EXPECT_NE(s.Child->Err.find("The INI file " + ini.string() + " is not read: " + c.problem +
                                "; the default code table is used."),
              std::string::npos)
        << s.Child->Err;
    EXPECT_NE(s.Child->Err.find("The log file " + (Dir / "kassirod.log").string() +
                                " cannot be opened: it is a FIFO, not a regular file"),
              std::string::npos)
        << s.Child->Err;
  }
}

// An emptied settings file without its copy lost the counter: it is said and the empty
// file kept aside, never a silent start from receipt number 1.
TEST_F(KassirodFaults, AnEmptySettingsFileWithoutItsCopyIsReportedAsDamage) {
  StartSim(kReceipts);
  {
    TServer s = StartServer(OnSim({"-Offset:500"}));
    s.Child->Signal(SIGTERM);
    ASSERT_EQ(s.Child->Wait(), 0);
  }
  std::ofstream(Stg(), std::ios::trunc).close();
  fs::remove(Stb());
  TServer s = StartServer(OnSim());
  s.Child->Signal(SIGTERM);
  EXPECT_EQ(s.Child->Wait(), 0);
  const std::string told = "The settings file " + Stg().string() +
                           " is empty and has no good copy; the server goes on with the default settings.";
  EXPECT_NE(s.Child->Err.find(told), std::string::npos) << s.Child->Err;
  EXPECT_TRUE(InLog(told)) << Log();
  int aside = 0;
  for (const auto& e : fs::directory_iterator(Dir.path())) {
    aside += e.path().filename().string().starts_with("kassirod.STG.damaged-");
  }
  EXPECT_EQ(aside, 1);
}

// As ssh does for its keys: a folder that others may write into, and that is not
// sticky, is named at the start; a private one is not.
TEST_F(KassirodFaults, AFolderOthersMayWriteIntoIsWarnedOf) {
  StartSim(kReceipts);
  const std::string warning = "Warning: the folder " + Dir.path().string() +
                              " (mode 0775) may be written by other users; they could replace the server's files in it.";
  for (const fs::perms mode : {fs::perms(0775), fs::perms(01777), fs::perms(0700)}) {
    SCOPED_TRACE(static_cast<int>(mode));
    fs::permissions(Dir.path(), mode);
    TServer s = StartServer(OnSim());
    s.Child->Signal(SIGTERM);
    EXPECT_EQ(s.Child->Wait(), 0);
    const bool warned = mode == fs::perms(0775);
    EXPECT_EQ(s.Child->Err.find(warning) != std::string::npos, warned) << s.Child->Err;
    EXPECT_EQ(InLog(warning), warned) << Log();
    fs::remove(Dir / "kassirod.log");
  }
}

// Whether a thread of the process holds SIGTERM back (its SigBlk mask in /proc): the
// main thread while the server starts, the threads it started from then on.
bool HoldsSigterm(pid_t pid) {
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::istringstream status(ReadFile(task.path() / "status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) != 0) continue;
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      if ((mask >> (SIGTERM - 1) & 1u) != 0) return true;
    }
  }
  return false;
}

// SIGTERM at moments spread over the start: each one closes the server as a SIGTERM
// after the start does, with the settings saved and the closing logged.
TEST_F(KassirodFaults, ASignalDuringTheStartIsHandledOnceTheServerRuns) {
  StartSim(kReceipts);
  int duringStart = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fs::remove(Dir / "kassirod.log");
    TChild child(Command(OnSim({"-Password:pw" + std::to_string(round)})));
    // From the moment main holds the signal back; a program that never does fails here.
    ASSERT_TRUE(WaitUntil([&] { return HoldsSigterm(child.Pid()) || !child.Running(); },
                          std::chrono::seconds(10), std::chrono::milliseconds(1)))
        << "SIGTERM is never held back";
    ::poll(nullptr, 0, round % 10);  // a moment later each round, into the start
    duringStart += !InLog(" started on ");
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(), 0) << "ended by the signal";
    EXPECT_TRUE(InLog(Title + " closed by user.")) << Log();
    const auto stored = Stored(Stg());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->sPassword, "pw" + std::to_string(round));
  }
  EXPECT_GT(duringStart, 0) << "no signal came during the start";
}

}  // namespace
