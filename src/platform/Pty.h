#pragma once
// A pseudo-terminal pair for tests and the ECR simulator: the slave side is a serial
// line the server can open by name ("pts/N" or its full path), the master side is the
// far end of that line. The pair keeps a slave handle of its own, set raw, so the
// master never sees a hang-up while the server closes and reopens the line.
//
// Not part of the server: it is built as a library of its own (kassiro_pty) that only
// the simulator and the tests link. A second platform without pseudo-terminals
// provides a null-modem pair under the same interface, or none (then the simulator
// runs on a named serial device only).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/File.h"

namespace kassiro::platform {

class TPty {
 public:
  TPty();  // throws std::system_error if no pseudo-terminal can be made
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;

  const std::string& SlavePath() const { return FSlavePath; }  // "/dev/pts/7"
  std::string SlaveName() const;                               // "pts/7", as settings hold it

  // Writes all bytes to the line, waiting while the pty is full, at most timeoutMs.
  bool Write(std::span<const std::uint8_t> bytes, int timeoutMs = 1000);
  // Reads what the other side wrote: waits at most timeoutMs for the first byte, then
  // takes what is there (up to buf.size()). Returns the count, 0 on time-out or failure.
  std::size_t Read(std::span<std::uint8_t> buf, int timeoutMs);
  // Reads until n bytes came or timeoutMs passed in all; returns what came.
  std::size_t ReadExactly(std::span<std::uint8_t> buf, int timeoutMs);

  // The far end goes away: reads and writes on the slave side fail from then on.
  void CloseMaster() { (void)FMaster.Close(); }
  // Drops the pair's own slave handle (then the master sees a hang-up whenever no one
  // else holds the line open).
  void CloseSlave() { (void)FSlave.Close(); }

 private:
  TFile FMaster;  // non-blocking
  TFile FSlave;
  std::string FSlavePath;
};

}  // namespace kassiro::platform
