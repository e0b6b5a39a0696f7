// The log file beside the executable: time-stamped lines, an exception entry, and a
// rotation at 5 MiB that keeps one older generation (".LO0"). A log that cannot be moved
// aside is emptied instead, so it stays bounded whatever is in the way. No routine throws; each
// reports a logError code, which callers may ignore. Lines from several threads come
// out whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/File.h"

namespace kassiro {

enum class logError : std::uint8_t {
  leNone = 0,
  leNotOpen = 1,
  leAlreadyOpen = 2,
  leGetSize = 3,
  leOpen = 4,
  leClose = 5,
  leWrite = 6,
  leRename = 7,
  leIntern = 8,
  leLast = 9,
  leLogMode = 10,
};

enum class TLogMode : std::uint8_t { lmError = 0, lmDebug = 1, lmTrace = 2 };
// A set of TLogMode in one byte: bit n for the mode of value n.
using TLogModes = std::uint8_t;
constexpr TLogModes LogModeBit(TLogMode m) { return static_cast<TLogModes>(1u << static_cast<unsigned>(m)); }

inline constexpr std::int32_t DEFMAXLOGSZ = 5242880;

// Local date and time as the line's time stamp needs it.
struct TLogTime {
  int Year, Month, Day, Hour, Minute, Second;
};
using TLogClock = std::function<TLogTime()>;
TLogTime LocalLogTime();  // the system's local time

class TLogFile {
 public:
  // exePath: the executable whose name the log takes ("<dir>/<name>.log").
  explicit TLogFile(std::filesystem::path exePath, TLogClock clock = LocalLogTime);
  ~TLogFile();
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  logError LogOpen();
  logError LogClose();
  logError LogAddLine(std::string_view s, TLogModes LModes = 0);
  logError LogAddExceptionLine(std::string_view FuncName, const std::exception& Exc,
                               std::string_view S, TLogModes LModes = 0);

  bool Opened() const;
  // The log's path. Not to be read while another thread rebinds the log.
  const std::filesystem::path& FileName() const { return LogFName; }
  // Closes the log, binds it to another executable and opens it again.
  logError Rebind(std::filesystem::path exePath);
  // Receives the text and modes of every line the log takes, in the log's order (a
  // service also hands its lines to the system journal). Called with the log's lock held.
  using TLogMirror = std::function<void(std::string_view text, TLogModes modes)>;
  void SetMirror(TLogMirror mirror);

  // Set before the log is shared between threads.
  std::int32_t lMaxLogSize = DEFMAXLOGSZ;  // rotation threshold
  TLogModes LogModes = 0;

 private:
  // Each routine below expects mu_ to be held.
  logError OpenLocked(bool startAnew = false);  // startAnew: emptied on opening
  logError CloseLocked();
  logError AddLineLocked(std::string_view s, TLogModes LModes);
  logError WriteLineLocked(std::string_view s);  // no mode check, no rotation
  logError LogRotate();
  bool WorkOutNames();
  std::string DateHeader() const;

  mutable std::mutex mu_;
  std::filesystem::path exePath_;
  TLogClock clock_;
  std::filesystem::path LogFName;
  std::string strLogHDR;
  platform::TFile file_;       // the open log
  bool fLogOpened = false;
  std::int64_t nLogSize = 0;   // bytes as counted here; 64 bits so no size overflows
  TLogMirror mirror_;
};

// The time stamp of a log line, e.g. " 5.03.2026 07:08:09" (19 characters).
std::string FormatLogTime(const TLogTime& t);
// The line header for an executable: " " + its file name cut before the first "." + ": ".
std::string LogHeaderFor(const std::filesystem::path& exePath);
// The exception's dynamic class name without namespaces, e.g. "ECommError".
std::string ExceptionClassName(const std::exception& e);

// The program's log, bound to the running executable on first use
// and opened then.
TLogFile& ProgramLog();
// Rebinds the program's log to another executable path (a program run from a copied
// folder, tests); safe while other threads write to it.
logError BindProgramLog(const std::filesystem::path& exePath);
// Free routines on the program's log.
logError LogAddLine(std::string_view s, TLogModes LModes = 0);
logError LogAddExceptionLine(std::string_view FuncName, const std::exception& Exc,
                             std::string_view S, TLogModes LModes = 0);

}  // namespace kassiro
