// ecrbridge's log: one line per event on stdout, "ecrbridge: " and the text, after a
// local time stamp unless systemd's journal (which stamps lines itself) takes it.
// Lines from the threads never interleave.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace kassiro::bridge {

class TBridgeLog {
 public:
  explicit TBridgeLog(std::FILE* out = stdout);
  void Line(const std::string& text);

 private:
  std::FILE* FOut;
  bool FStamp;
  std::mutex FMutex;
};

}  // namespace kassiro::bridge
