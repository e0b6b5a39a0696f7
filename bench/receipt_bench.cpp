// receipt_bench: what a durable receipt number costs the polling thread.
//
//   receipt_bench [--count N] [--dir DIR]
//
// A session wired to a settings file as the server wires it. A thread standing for the
// polling thread closes N receipts (default 300) the way the on-line handler does:
// GetIncBon under the session lock, which returns once the settings record and its copy
// are on disk (two writes, each flushed with fdatasync). Printed: the time of one
// GetIncBon (p50, p99, max) and the same with the record kept in memory only, beside the
// wire time of the ECR's frame that closes a receipt (0A, "004703;5;3;4;", 0D, two CRC
// bytes: 17 bytes) at 4800, 9600 and 38400 baud. DIR (default: a fresh folder under the
// temporary directory) decides the disk, which decides the figure.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "core/SettingsFile.h"
#include "core/TheNewDefs.h"

namespace {

using namespace kassiro;
using namespace kassiro::bench;

constexpr int ReceiptFrameBytes = 1 + 13 + 1 + 2;

// Microseconds of each GetIncBon, run on a thread of its own under the session lock.
std::vector<double> CloseReceipts(Session& s, int count) {
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(count));
  std::thread polling([&] {
    for (int i = 0; i < count; ++i) {
      const auto t0 = Clock::now();
      {
        std::lock_guard lock(s.Lock);
        GetIncBon(s, 1 + i % 2);
      }
      us.push_back(Micros(Clock::now() - t0));
    }
  });
  polling.join();
  return us;
}

void Print(const char* what, std::vector<double> us) {
  std::printf("%s: p50 %.1f us, p99 %.1f us, max %.1f us (%zu receipts)\n", what, Percentile(us, 0.5),
              Percentile(us, 0.99), Percentile(us, 1.0), us.size());
}

}  // namespace

int main(int argc, char** argv) {
  int count = 300;
  std::optional<std::filesystem::path> dir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      count = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: receipt_bench [--count N] [--dir DIR]\n");
      return 2;
    }
  }
  if (count < 1) count = 1;
  TScratchDir scratch;
  const std::filesystem::path folder = dir.value_or(scratch.path());
  std::printf("receipt_bench: %d receipts, settings in %s, load average %s\n", count,
              folder.c_str(), LoadAverage().c_str());

  Session memoryOnly;
  Print("GetIncBon, record in memory only", CloseReceipts(memoryOnly, count));

  const std::filesystem::path file = folder / "receipt_bench.STG";
  {
    TSettingsFile settings(file);
    if (!settings.Unique()) {
      std::fprintf(stderr, "receipt_bench: %s\n", settings.OpenFailure().c_str());
      return 1;
    }
    Session durable;
    durable.SaveSettings = [&settings](const TIniStru& ini) { settings.Save(ini); };
    std::vector<double> us = CloseReceipts(durable, count);
    const double p50 = Percentile(us, 0.5), p99 = Percentile(us, 0.99);
    Print("GetIncBon, number on disk before it is returned", us);
    for (const int speed : {4800, 9600, 38400}) {
      const double wire = WireMs(ReceiptFrameBytes, speed);
      std::printf("durable receipt number at %5d baud: p50 %.2f ms, p99 %.2f ms beside the %.2f ms of "
                  "the receipt frame (%.0f%% / %.0f%%)\n",
                  speed, p50 / 1000, p99 / 1000, wire, p50 / 10 / wire, p99 / 10 / wire);
    }
  }
  std::error_code ec;
  std::filesystem::remove(file, ec);
  std::filesystem::remove(TSettingsFile::CopyNameFor(file), ec);
  return 0;
}
