// ecrsim: plays one or more ECRs on a serial line so that the server, ecrscan and the
// tests can work without hardware. See docs/ecrsim.md.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Version.h"
#include "ecrlink/SerialPort.h"
#include "ecrlink/SimpleComObject.h"
#include "ecrsim/SimRunner.h"
#include "ecrsim/SimScript.h"
#include "platform/Pty.h"
#include "platform/Process.h"
#include "platform/StopEvents.h"
#include "util/WholeNumber.h"

namespace {

using namespace kassiro;
using namespace kassiro::ecrsim;

constexpr int EXIT_USAGE = 2;

struct TUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct TArgs {
  std::vector<std::string> Ecrs;
  std::vector<std::string> Faults;
  std::string Script;
  std::string Device;
  std::string LogFile;
  std::string CountsFile;
  std::string JournalFile;
  double FaultRate = 0;
  std::optional<std::uint32_t> Seed;
  int Speed = 9600;
  bool Pace = false;
  bool Verbose = false;
};

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t next = s.find(sep, pos);
    out.push_back(s.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
    if (next == std::string::npos) return out;
    pos = next + 1;
  }
}

// --ecr N or N:SERIAL
void AddEcrArg(TSimScript& script, const std::string& arg) {
  const auto parts = Split(arg, ':');
  const auto n = WholeNumber<int>(parts[0]);
  if (parts.size() > 2 || !n || *n < 1 || *n > 99)
    throw TUsageError("--ecr " + arg + ": expected N or N:SERIAL with N 1..99");
  if (script.Find(*n)) throw TUsageError("--ecr " + arg + ": ECR " + parts[0] + " is given twice");
  TEcrScript e = DefaultEcr(*n);
  if (parts.size() == 2) {
    const auto& serial = parts[1];
    if (serial.empty() || serial.size() > 6 ||
        serial.find_first_not_of("0123456789") != std::string::npos)
      throw TUsageError("--ecr " + arg + ": the serial number must be 1 to 6 digits");
    e.Serial = serial;
  }
  script.Ecrs.push_back(std::move(e));
}

// --fault ECR:KIND[:N]
void AddFaultArg(TSimScript& script, const std::string& arg) {
  const auto parts = Split(arg, ':');
  const auto n = WholeNumber<int>(parts[0]);
  TFaultKind kind{};
  if (parts.size() < 2 || parts.size() > 3 || !n || !ParseFaultKind(parts[1], kind))
    throw TUsageError("--fault " + arg +
                      ": expected ECR:KIND[:N], KIND one of badcrc, nak, silent, noise, late, answerall, stream");
  TEcrScript* e = script.Find(*n);
  if (!e) throw TUsageError("--fault " + arg + ": ECR " + parts[0] + " is not simulated");
  int count = FaultLastsForGood(kind) ? TFaults::Always : 1;
  if (parts.size() == 3) {
    const auto c = WholeNumber<int>(parts[2]);
    if (!c || *c < 1) throw TUsageError("--fault " + arg + ": the count must be a number from 1");
    count = *c;
  }
  AddFault(e->Faults, kind, count);
}

TSimScript BuildScript(const TArgs& a) {
  TSimScript script;
  if (!a.Script.empty()) script = LoadSimScript(a.Script);
  for (const auto& e : a.Ecrs) AddEcrArg(script, e);
  if (script.Ecrs.empty()) throw TUsageError("no ECR to simulate (give --ecr N or --script FILE)");
  for (const auto& f : a.Faults) AddFaultArg(script, f);
  return script;
}

void CheckSpeed(int speed) {
  if (GetSpeedIndex(speed) >= 0) return;
  std::string list;
  for (const auto& w : SendWaitConsts) list += (list.empty() ? "" : ", ") + std::to_string(w.Speed);
  throw TUsageError("speed " + std::to_string(speed) + " is not one of " + list);
}

void AddOptions(CLI::App& app, TArgs& a) {
  app.add_option("--ecr", a.Ecrs, "Simulate ECR N (1..99) with the default script; N:SERIAL sets its serial number");
  app.add_option("--script", a.Script, "Script file describing the ECRs (docs/ecrsim.md)");
  app.add_option("--device", a.Device, "Serial device to play on (port name like pts/7 or COM1, or a path); default: a new pseudo-terminal");
  app.add_option("--speed", a.Speed, "Line speed in baud (1200 ... 38400)")->capture_default_str();
  app.add_flag("--pace", a.Pace, "Send at the line's speed (10 bits per byte)");
  app.add_option("--log", a.LogFile, "Write the log to FILE instead of stdout");
  app.add_option("--fault", a.Faults,
                 "Inject faults: ECR:KIND[:N], KIND badcrc, nak, silent, noise, late, answerall (answers the takes "
                 "of every number) or stream (frames with ever new serial numbers outside any take)");
  app.add_option("--fault-rate", a.FaultRate, "Percent of takes (0..100) that bring one fault of a random kind")
      ->check(CLI::Range(0.0, 100.0));
  app.add_option("--seed", a.Seed, "Seed of the random faults (default: a random one, printed)");
  app.add_option("--counts", a.CountsFile, "Write what each ECR did to FILE at exit and on SIGUSR1");
  app.add_option("--journal", a.JournalFile, "Append one line per on-line block taken to FILE");
  app.add_flag("-v,--verbose", a.Verbose, "Log idle filler too");
}

// The file at path opened for appending, or none for an empty path; `what` names it
// when it cannot be written.
std::ofstream AppendTo(const std::string& path, const std::string& what) {
  std::ofstream file;
  if (path.empty()) return file;
  file.open(path, std::ios::app);
  if (!file) throw std::runtime_error("cannot write the " + what + " file " + path);
  return file;
}

// Log lines go to stdout or a file, one flushed line at a time.
class TLogOut {
 public:
  explicit TLogOut(const std::string& path) : FFile(AppendTo(path, "log")) {}
  void Line(std::string_view l) {
    std::ostream& os = FFile.is_open() ? static_cast<std::ostream&>(FFile) : std::cout;
    os << l << '\n' << std::flush;
  }

 private:
  std::ofstream FFile;
};

// The line the ECRs play on: a new pseudo-terminal or the given device.
struct TLineHolder {
  std::unique_ptr<platform::TPty> Pty;
  std::unique_ptr<TSerialPort> Port;
  std::unique_ptr<TSimLine> Line;
  std::string Name, Path;
};

TLineHolder OpenLine(const TArgs& a) {
  TLineHolder h;
  if (a.Device.empty()) {
    h.Pty = std::make_unique<platform::TPty>();
    h.Line = std::make_unique<TPtyLine>(*h.Pty);
    h.Name = h.Pty->SlaveName();
    h.Path = h.Pty->SlavePath();
    return h;
  }
  h.Port = std::make_unique<TSerialPort>(a.Device, a.Speed);
  try {
    h.Port->Open();
  } catch (const ECommError& e) {
    std::string msg = e.what();
    if (e.SysError() != 0) msg += std::string(" (") + std::strerror(e.SysError()) + ")";
    throw std::runtime_error(msg);
  }
  h.Line = std::make_unique<TPortLine>(*h.Port);
  h.Name = a.Device;
  h.Path = h.Port->DevicePath();
  return h;
}

// The counts file is written whole each time, through a temporary file, so a reader
// never sees half of it.
void WriteCounts(const std::string& path, const std::string& text) {
  if (path.empty()) return;
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text;
    if (!out) return;
  }
  std::rename(tmp.c_str(), path.c_str());
}

// "<steady ms> <ecr> <block text>": the times are those of the system's monotonic clock,
// so another program can line them up with its own.
class TJournal {
 public:
  explicit TJournal(const std::string& path) : FFile(AppendTo(path, "journal")) {}
  bool Open() const { return FFile.is_open(); }
  void Add(Millis when, int ecr, std::string_view block) {
    FFile << when << ' ' << ecr << ' ' << block << '\n' << std::flush;
  }

 private:
  std::ofstream FFile;
};

int Serve(const TArgs& a) {
  CheckSpeed(a.Speed);
  TSimScript script = BuildScript(a);

  // SIGINT and SIGTERM (stop) and SIGUSR1 (write the counts) are waited for below;
  // every thread started later holds them too.
  namespace platform = kassiro::platform;
  const platform::TStopEventKinds STOP_OR_REPORT = {platform::TStopEvent::Close, platform::TStopEvent::Report};
  platform::HoldStopEvents(STOP_OR_REPORT);
  platform::IgnoreBrokenPipes();

  TLogOut log(a.LogFile);
  TJournal journal(a.JournalFile);
  TLineHolder line = OpenLine(a);
  std::vector<std::string> ecrLines;
  for (const auto& e : script.Ecrs)
    ecrLines.push_back("ecrsim: ECR " + std::to_string(e.Ecr) + " serial " + e.Serial);
  TSimRunner runner(std::move(script), *line.Line, TRunOptions{a.Speed, a.Pace, a.Verbose});
  runner.SetLog([&log](std::string_view l) { log.Line(l); });
  const std::uint32_t seed = a.Seed ? *a.Seed : std::random_device{}();
  runner.WithEngine([&](TSimEngine& engine) {
    engine.SetRandomFaults(a.FaultRate, seed);
    if (journal.Open())
      engine.SetJournal([&journal](Millis when, int ecr, std::string_view block) {
        journal.Add(when, ecr, block);
      });
    return 0;
  });
  runner.Start();

  for (const auto& l : ecrLines) std::cout << l << '\n';
  if (a.FaultRate > 0) std::cout << "ecrsim: random faults " << a.FaultRate << " % seed " << seed << '\n';
  std::cout << "ecrsim: line " << line.Name << " (" << line.Path << ")" << std::endl;

  auto counts = [&runner] { return runner.WithEngine([](TSimEngine& e) { return e.FormatCounts(); }); };
  while (platform::WaitForStopEvent(STOP_OR_REPORT).Event == platform::TStopEvent::Report) {
    WriteCounts(a.CountsFile, counts());
  }
  runner.Stop();
  WriteCounts(a.CountsFile, counts());
  log.Line("ecrsim: stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ecrsim: plays electronic cash registers on a serial line"};
  app.set_version_flag("--version", std::string("ecrsim ") + kassiro::VERSION_TEXT);
  TArgs args;
  AddOptions(app, args);
  CLI11_PARSE(app, argc, argv);
  try {
    return Serve(args);
  } catch (const TUsageError& e) {
    std::cerr << "ecrsim: " << e.what() << '\n';
    return EXIT_USAGE;
  } catch (const TScriptError& e) {
    std::cerr << "ecrsim: " << e.what() << '\n';
    return EXIT_USAGE;
  } catch (const std::exception& e) {
    std::cerr << "ecrsim: " << e.what() << '\n';
    return 1;
  }
}
