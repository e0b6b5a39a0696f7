#include "ecrbridge/BridgeLog.h"
#include "platform/LocalTime.h"

#include <cstdlib>
#include <ctime>

namespace kassiro::bridge {

TBridgeLog::TBridgeLog(std::FILE* out) : FOut(out), FStamp(std::getenv("JOURNAL_STREAM") == nullptr) {}

void TBridgeLog::Line(const std::string& text) {
  std::string line;
  if (FStamp) {
    const std::time_t now = std::time(nullptr);
    const std::tm tm = platform::LocalTm(now);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &tm);
    line = stamp;
  }
  line += "ecrbridge: " + text + "\n";
  const std::lock_guard lock(FMutex);
  std::fwrite(line.data(), 1, line.size(), FOut);
  std::fflush(FOut);
}

}  // namespace kassiro::bridge
