#include "core/LogFile.h"

#include <cxxabi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <system_error>
#include <typeinfo>

#include "platform/ExePath.h"
#include "platform/LocalTime.h"
#include "platform/OwnFile.h"

namespace kassiro {

TLogTime LocalLogTime() {
  const std::time_t now = std::time(nullptr);
  const std::tm tm = platform::LocalTm(now);
  return TLogTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string FormatLogTime(const TLogTime& t) {
  char buf[96];
  const int n = std::snprintf(buf, sizeof buf, "%2d.%.2d.%.4d %.2d:%.2d:%.2d", t.Day, t.Month,
                              t.Year, t.Hour, t.Minute, t.Second);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string LogHeaderFor(const std::filesystem::path& exePath) {
  const std::string name = exePath.filename().string();
  return " " + name.substr(0, name.find('.')) + ": ";
}

namespace {

// Drops the namespace qualifiers of a demangled name, keeping any template arguments
// whole: "kassiro::ECommError" -> "ECommError".
std::string WithoutNamespaces(const std::string& name) {
  std::size_t start = 0;
  int depth = 0;
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    const char c = name[i];
    if (c == '<' || c == '(') ++depth;
    if (c == '>' || c == ')') --depth;
    if (depth == 0 && c == ':' && name[i + 1] == ':') start = i + 2;
  }
  return name.substr(start);
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }  // NOLINT: __cxa_demangle allocates with malloc
};

}  // namespace

std::string ExceptionClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  const std::unique_ptr<char, FreeDeleter> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status));
  return WithoutNamespaces(status == 0 && demangled ? std::string(demangled.get())
                                                    : std::string(mangled));
}

TLogFile::TLogFile(std::filesystem::path exePath, TLogClock clock)
    : exePath_(std::move(exePath)), clock_(clock ? std::move(clock) : TLogClock(LocalLogTime)) {
  WorkOutNames();
}

TLogFile::~TLogFile() {
  const std::lock_guard lock(mu_);
  CloseLocked();
}

bool TLogFile::Opened() const {
  const std::lock_guard lock(mu_);
  return fLogOpened;
}

logError TLogFile::LogOpen() {
  const std::lock_guard lock(mu_);
  return OpenLocked();
}

logError TLogFile::LogClose() {
  const std::lock_guard lock(mu_);
  return CloseLocked();
}

logError TLogFile::LogAddLine(std::string_view s, TLogModes LModes) {
  const std::lock_guard lock(mu_);
  return AddLineLocked(s, LModes);
}

logError TLogFile::LogAddExceptionLine(std::string_view FuncName, const std::exception& Exc,
                                       std::string_view S, TLogModes LModes) {
  try {
    std::string text = "EXCEPTION in ";
    text.append(FuncName).append(" - ").append(ExceptionClassName(Exc)).append(":\r\n");
    text.append(Exc.what()).append("\r\n").append(S);
    return LogAddLine(text, LModes);
  } catch (...) {  // only an allocation can fail here; the log never raises
    return logError::leIntern;
  }
}

logError TLogFile::Rebind(std::filesystem::path exePath) {
  const std::lock_guard lock(mu_);
  if (fLogOpened) CloseLocked();
  exePath_ = std::move(exePath);
  return OpenLocked();
}

void TLogFile::SetMirror(TLogMirror mirror) {
  const std::lock_guard lock(mu_);
  mirror_ = std::move(mirror);
}

bool TLogFile::WorkOutNames() {
  try {
    if (!exePath_.has_filename()) return false;
    LogFName = std::filesystem::path(exePath_).replace_extension(".log");
    strLogHDR = LogHeaderFor(exePath_);
    return true;
  } catch (...) {
    return false;
  }
}

logError TLogFile::OpenLocked(bool startAnew) {
  if (fLogOpened) return logError::leAlreadyOpen;
  if (!WorkOutNames()) return logError::leIntern;
  platform::TOwnFile file = platform::OpenOwnFile(
      LogFName, {.Access = platform::TAccess::Write, .Create = true, .Append = true, .Truncate = startAnew});
  if (!file.Valid()) {
    // A link or a FIFO that somebody put in the log's place is worth a word, and the log
    // cannot say it itself: stderr is the one place left (the journal under systemd).
    // Like any log that cannot be opened, the program goes on without a log file.
    if (file.Refused()) {
      std::fprintf(stderr, "The log file %s cannot be opened: %s; the program runs without a log file.\n",
                   LogFName.string().c_str(), file.Problem().c_str());
    }
    return logError::leOpen;
  }
  nLogSize = static_cast<std::int64_t>(file.File().Size().value_or(0));
  file_ = std::move(file.File());
  fLogOpened = true;
  return logError::leNone;
}

// The handle is released even when closing reports an error, so the log counts as
// closed either way.
logError TLogFile::CloseLocked() {
  if (!fLogOpened) return logError::leNotOpen;
  const std::error_code error = file_.Close();
  fLogOpened = false;
  return error ? logError::leClose : logError::leNone;
}

logError TLogFile::AddLineLocked(std::string_view s, TLogModes LModes) {
  const bool wanted = LModes == 0 || (LModes & LogModes) != 0;
  // The mirror takes the line even when the file cannot: a service's journal still has it.
  if (wanted && mirror_) mirror_(s, LModes);
  if (!fLogOpened) return logError::leNotOpen;
  if (!wanted) return logError::leLogMode;
  if (nLogSize >= lMaxLogSize) LogRotate();
  // A rotation whose reopen failed leaves the log closed; the line is lost.
  if (!fLogOpened) return logError::leWrite;
  return WriteLineLocked(s);
}

logError TLogFile::WriteLineLocked(std::string_view s) {
  try {
    std::string line = DateHeader();
    line.append(strLogHDR).append(s).append("\r\n");
    // One write per line: with O_APPEND the kernel keeps it whole, and once there
    // it survives a crash of the program.
    if (file_.WriteAll(line)) return logError::leWrite;
    nLogSize += static_cast<std::int64_t>(line.size());
    return logError::leNone;
  } catch (...) {
    return logError::leWrite;
  }
}

logError TLogFile::LogRotate() {
  try {
    const std::filesystem::path bak = std::filesystem::path(LogFName).replace_extension(".LO0");
    std::error_code ec;
    std::filesystem::remove(bak, ec);
    CloseLocked();
    std::filesystem::rename(LogFName, bak, ec);
    if (!ec) return OpenLocked();
    // The old log cannot be moved aside (a directory of the older generation's name, a
    // folder without write access...): retrying before every line would let the log
    // grow without bound, so it starts anew in place and says why.
    const logError res = OpenLocked(true);
    if (res == logError::leNone) {
      WriteLineLocked("The log could not be moved aside to " + bak.string() + " (" + ec.message() +
                      "); it was emptied to keep its size.");
    }
    return res;
  } catch (...) {
    return logError::leRename;
  }
}

std::string TLogFile::DateHeader() const { return FormatLogTime(clock_()); }

// ---- the program's log ----

namespace {

TLogFile& ProgramLogObject() {
  static TLogFile log(platform::ExecutablePath());
  return log;
}

// Set once the program's log has been opened or bound, so a binding made before the
// first line keeps the log beside the running executable from being created.
std::once_flag& ProgramLogStarted() {
  static std::once_flag started;
  return started;
}

}  // namespace

TLogFile& ProgramLog() {
  std::call_once(ProgramLogStarted(), [] { ProgramLogObject().LogOpen(); });
  return ProgramLogObject();
}

logError BindProgramLog(const std::filesystem::path& exePath) {
  std::call_once(ProgramLogStarted(), [] {});
  return ProgramLogObject().Rebind(exePath);
}

logError LogAddLine(std::string_view s, TLogModes LModes) {
  return ProgramLog().LogAddLine(s, LModes);
}

logError LogAddExceptionLine(std::string_view FuncName, const std::exception& Exc,
                             std::string_view S, TLogModes LModes) {
  return ProgramLog().LogAddExceptionLine(FuncName, Exc, S, LModes);
}

}  // namespace kassiro
