#include "Requests.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>

#include "Version.h"
#include "core/ReportJournal.h"
#include "core/SelfMsgs.h"
#include "platform/Service.h"
#include "service/TraceRequest.h"
#include "util/WholeNumber.h"

namespace kassiro {

namespace {

constexpr int ANSWER_WAIT_MS = 10000;

constexpr std::string_view USAGE =
    "Usage: kassirod [-Dir:FOLDER] [-Port:NAME] [-Speed:N] [-IPPort:N] [-Password:TEXT]\n"
    "                [-Offset:N] [-SetPW:SET:TEXT] [-LanguageID:N]\n"
    "                [-Listen:ADDR] [-Allow:NET[,NET...]] [-Journal[:DAYS]]\n"
    "       kassirod [-Dir:FOLDER] -Q:PASSWORD\n"
    "       kassirod [-Dir:FOLDER] -Status[:json]\n"
    "       kassirod [-Dir:FOLDER] -Trace:SECONDS\n"
    "       kassirod [-Dir:FOLDER] -Journal:dump[:FROM] | -Journal:json[:FROM]\n"
    "       kassirod [-Dir:FOLDER] -Install[:NAME]\n"
    "       kassirod -Uninstall[:NAME]\n"
    "       kassirod --help | --version\n"
    "\n"
    "The Kassiro server for electronic cash registers, without a window. It polls the ECRs\n"
    "on one serial line and serves client programs over TCP.\n"
    "\n"
    "  -Dir:FOLDER      keep kassirod.STG, .INI, .log, .LO0 and the line trace in FOLDER\n"
    "                   (default: beside the executable); one running copy per folder\n"
    "  -Port:NAME       serial port (COM1, ttyUSB0 or a device path)\n"
    "  -Speed:N         line speed in bit/s (1200 ... 38400)\n"
    "  -IPPort:N        TCP port for clients (0: any free port)\n"
    "  -Password:TEXT   administrator password (at most 9 characters)\n"
    "  -Offset:N        next receipt number\n"
    "  -SetPW:SET:TEXT  password of data set SET (1..14)\n"
    "  -LanguageID:N    code table 1..6\n"
    "  -Listen:ADDR     the one local address clients connect to, IPv4 or IPv6\n"
    "                   (empty: every IPv4 address)\n"
    "  -Allow:NET,...   addresses or CIDR ranges that may connect (empty: everybody)\n"
    "  -Journal[:DAYS]  keep every report in the report journal kassirod.journal/ for\n"
    "                   DAYS days (default 31; 0: no journal)\n"
    "  Settings given are stored and serve later starts as well.\n"
    "\n"
    "  -Q:PASSWORD      ask the running copy of the folder to quit\n"
    "  -Status[:json]   print the running copy's state, clients, ECRs and line counters\n"
    "  -Trace:SECONDS   have the running copy write every line byte, in hex, to\n"
    "                   kassirod.trace in its folder for 1 to 3600 seconds (at most 8 MiB)\n"
    "  -Journal:dump[:FROM]  print the report journal from record FROM on, one line each;\n"
    "  -Journal:json[:FROM]  the same as JSON lines; damage is said on stderr\n"
    "\n"
    "  -Install[:NAME]  Windows: register kassirod as the service NAME (default Kassiro),\n"
    "                   started with the system, its files in FOLDER (default\n"
    "                   %ProgramData%\\Kassiro)\n"
    "  -Uninstall[:NAME] Windows: stop and remove the service\n"
    "\n"
    "SIGTERM and SIGINT close the server; SIGHUP stops and starts it again.\n";

// "-Journal:dump[:FROM]" or "-Journal:json[:FROM]": the way of the value, and FROM.
struct TDumpAsk {
  bool Json = false;
  std::string From;
};
std::optional<TDumpAsk> JournalDump(const TParamList& params) {
  std::string value;
  if (!params.HasParam("JOURNAL", value)) return std::nullopt;
  std::string way = value.substr(0, value.find(':'));
  for (char& c : way) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (way != "DUMP" && way != "JSON") return std::nullopt;
  const auto colon = value.find(':');
  return TDumpAsk{way == "JSON", colon == std::string::npos ? std::string() : value.substr(colon + 1)};
}

bool JournalDumpAsked(const TParamList& params) { return JournalDump(params).has_value(); }

// Reads the folder itself, whether a server runs or not; what is damaged or missing
// goes to stderr, and the status is 1 then.
int DumpJournal(const TParamList& params, const std::filesystem::path& base) {
  const TDumpAsk ask = *JournalDump(params);
  const auto from = ask.From.empty() ? std::optional<std::uint64_t>(1) : WholeNumber<std::uint64_t>(ask.From);
  if (!from) {
    std::cerr << "kassirod: -Journal: FROM must be a record number, not " << ask.From << std::endl;
    return EXIT_BAD_ARGUMENTS;
  }
  std::filesystem::path dir = base;
  dir += ".journal";
  if (!std::filesystem::is_directory(dir)) {
    std::cerr << "kassirod: no report journal in " << dir.string() << std::endl;
    return 1;
  }
  bool problems = false;
  TJournalReader reader(dir, *from, [&problems](const std::string& what) {
    std::cerr << "kassirod: report journal: " << what << std::endl;
    problems = true;
  });
  while (const auto r = reader.Next()) std::cout << (ask.Json ? JournalRecordJson(*r) : JournalRecordText(*r)) << "\n";
  std::cout << std::flush;
  return problems ? 1 : 0;
}

// Says what became of a request that did not reach the running copy.
int Refused(const TSelfMessenger& m, TSendResult r, std::string_view what, const std::filesystem::path& base) {
  switch (r) {
    case TSendResult::NoListener:
      std::cerr << "kassirod: no running copy for " << base.parent_path().string() << ": " << what
                << " not sent." << std::endl;
      return 1;
    case TSendResult::OtherUser:
      std::cerr << "The " << what << " was not sent: its channel " << m.ChannelName()
                << " is held by another user (uid " << m.ListenerUid() << ")." << std::endl;
      return 1;
    default:
      if (m.SendError()) {
        std::cerr << "kassirod: the " << what << " could not be sent: " << m.ChannelName() << ": "
                  << m.SendError().message() << "." << std::endl;
      } else {
        std::cerr << "kassirod: the " << what << " could not be sent or was not answered." << std::endl;
      }
      return 1;
  }
}

// Hands the password to the running copy only when it runs as this user, and says
// when the running copy refused it.
int SendQuit(const std::filesystem::path& base, const std::string& password) {
  TSelfMessenger sender(base, false);
  std::string answer;
  const TSendResult r = sender.Request(SM_QUIT, password, answer, ANSWER_WAIT_MS);
  // Nobody running means nothing to quit, as it always was.
  if (r == TSendResult::NoListener) return 0;
  if (r != TSendResult::Sent) return Refused(sender, r, "quit request", base);
  if (answer == QUIT_WRONG_PASSWORD) {
    std::cerr << "kassirod: wrong password: the running copy for " << base.parent_path().string()
              << " goes on." << std::endl;
    return 1;
  }
  return 0;
}

// The running copy starts its trace and says where it goes.
int AskForTrace(const std::filesystem::path& base, int seconds) {
  TSelfMessenger sender(base, false);
  std::string answer;
  const TSendResult r = sender.Request(SM_TRACE, std::to_string(seconds), answer, ANSWER_WAIT_MS);
  if (r != TSendResult::Sent) return Refused(sender, r, "trace request", base);
  const TTraceAnswer a = DecodeTraceAnswer(answer);
  (a.Started ? std::cout : std::cerr) << a.Text << std::endl;
  return a.Started ? 0 : 1;
}

int Ask(const std::filesystem::path& base, std::int32_t code, const std::string& text, std::string_view what) {
  TSelfMessenger sender(base, false);
  std::string answer;
  const TSendResult r = sender.Request(code, text, answer, ANSWER_WAIT_MS);
  if (r != TSendResult::Sent) return Refused(sender, r, what, base);
  std::cout << answer << std::flush;
  return 0;
}

}  // namespace

std::optional<int> AnswerHelpOrVersion(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h" || a == "-?" || a == "/?") {
      std::cout << USAGE;
      return 0;
    }
    if (a == "--version") {
      std::cout << "kassirod " << VERSION_TEXT << std::endl;
      return 0;
    }
  }
  return std::nullopt;
}

namespace {

// A folder named on the command line, whose text is UTF-8 on every system (the Windows
// programs' manifest makes it so there).
std::filesystem::path Utf8Path(const std::string& text) { return std::u8string(text.begin(), text.end()); }

}  // namespace

std::optional<std::filesystem::path> FilesBase(const TParamList& params, const std::filesystem::path& exe,
                                               std::string& error) {
  std::string dir;
  if (!params.HasParam("DIR", dir)) return exe;
  std::error_code ec;
  const auto folder = dir.empty() ? std::filesystem::path() : std::filesystem::canonical(Utf8Path(dir), ec);
  if (dir.empty() || ec || !std::filesystem::is_directory(folder)) {
    error = "kassirod: -Dir:" + dir + ": " + (dir.empty() ? "no folder given" : "no such folder");
    return std::nullopt;
  }
  return folder / exe.filename();
}

bool IsRunParameter(const std::string& name) {
  return name == "DIR" || name == "Q" || name == "STATUS" || name == "TRACE" || name == "SERVICE" ||
         name == "INSTALL" || name == "UNINSTALL";
}

bool IsRequest(const TParamList& params) {
  std::string value;
  return params.HasParam("Q", value) || params.HasParam("STATUS", value) || params.HasParam("TRACE", value) ||
         JournalDumpAsked(params);
}

bool IsServiceSetup(const TParamList& params) {
  std::string value;
  return params.HasParam("INSTALL", value) || params.HasParam("UNINSTALL", value);
}

int RunServiceSetup(const TParamList& params, const std::filesystem::path& exe, const std::filesystem::path& base) {
  std::string name;
  if (params.HasParam("UNINSTALL", name)) {
    if (name.empty()) name = DEFAULT_SERVICE;
    if (const auto e = platform::UninstallService(name)) {
      std::cerr << "kassirod: the service " << name << " could not be removed: " << e.message() << "." << std::endl;
      return 1;
    }
    std::cout << "The service " << name << " was removed." << std::endl;
    return 0;
  }
  params.HasParam("INSTALL", name);
  if (name.empty()) name = DEFAULT_SERVICE;
  std::string dir;
  // A service must not write beside its executable (Program Files): its own folder.
  const std::filesystem::path folder = params.HasParam("DIR", dir) ? base.parent_path() : platform::DefaultServiceFolder();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::string arguments = "-Service:" + name + " \"-Dir:" + folder.string() + "\"";
  if (const auto e = platform::InstallService({name, "Kassiro server (" + name + ")",
                                               "Polls the electronic cash registers on the serial line and serves "
                                               "the client programs over TCP.",
                                               exe, arguments})) {
    std::cerr << "kassirod: the service " << name << " could not be registered: " << e.message() << "." << std::endl;
    return 1;
  }
  std::cout << "The service " << name << " was registered; its files are in " << folder.string() << "." << std::endl;
  return 0;
}

int RunRequest(const TParamList& params, const std::filesystem::path& base) {
  std::string value;
  if (JournalDumpAsked(params)) return DumpJournal(params, base);
  if (params.HasParam("Q", value)) return SendQuit(base, value);
  if (params.HasParam("STATUS", value)) {
    if (!value.empty() && value != "json") {
      std::cerr << "kassirod: -Status:" << value << ": expected -Status or -Status:json" << std::endl;
      return EXIT_BAD_ARGUMENTS;
    }
    return Ask(base, SM_STATUS, value, "status request");
  }
  if (params.HasParam("TRACE", value)) {
    const auto seconds = ParseTraceSeconds(value);
    if (!seconds) {
      std::cerr << "kassirod: -Trace:" << value << ": expected a number of seconds from 1 to "
                << TRACE_MAX_SECONDS << std::endl;
      return EXIT_BAD_ARGUMENTS;
    }
    return AskForTrace(base, *seconds);
  }
  return EXIT_BAD_ARGUMENTS;  // not a request
}

}  // namespace kassiro
