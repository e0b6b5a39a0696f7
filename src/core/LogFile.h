// The log file beside the executable: time-stamped lines, an exception entry, and a
// rotation at 5 MiB that keeps one older generation (".LO0"). No routine throws; each
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
  const std::filesystem::path& FileName() const { return LogFName; }
  std::int32_t lMaxLogSize = DEFMAXLOGSZ;  // rotation threshold
  TLogModes LogModes = 0;

 private:
  // ... implementation state
};

// The program's log, bound to the running executable (/proc/self/exe) on first use
// and opened then.
TLogFile& ProgramLog();
// Free routines on the program's log.
logError LogAddLine(std::string_view s, TLogModes LModes = 0);
logError LogAddExceptionLine(std::string_view FuncName, const std::exception& Exc,
                             std::string_view S, TLogModes LModes = 0);

}  // namespace kassiro
