// poll_bench: the polling thread (TPolThread) and the serial protocol (TSimpleComObject
// over TSerialPort) against the far end of a pseudo-terminal, in one process, at 38400
// baud. A pseudo-terminal does not pace: every time measured here is software time, the
// far end's (simulator, reader) and the kernel's pseudo-terminal included.
//
//   poll_bench inline [--seconds S] [--runs N]
//       One ECR in the list answering every take in-line with "004703;", nothing queued,
//       filler on. Poll cycles (OnEcrInLine events) per second, the software time of one
//       cycle beside the 8.07 ms the same 31 bytes take on a 38400-baud line, and the
//       time from the last byte of the ECR's reply frame to the computer's FF 06 as the
//       simulator sees them (median, p99).
//   poll_bench silent [--seconds S] [--runs N] [--filler]
//       99 ECRs in the list, none answering (a thread reads and drops what the computer
//       sends): CPU time of the polling thread and of the whole process without that
//       reader, in % of one core, with the filler off or on.
//
// Defaults: 5 s per run for inline, 10 s for silent, 3 runs. Each run starts afresh and
// is measured after 0.5 s of warm-up; the summary gives the best run and the median.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Pty.h"
#include "core/LogFile.h"
#include "ecrlink/PolObj.h"
#include "ecrlink/SimpleComObject.h"
#include "ecrsim/SimScript.h"

namespace {

using namespace kassiro;
using namespace kassiro::bench;
using namespace std::chrono_literals;

constexpr int Speed = 38400;
constexpr auto WarmUp = 500ms;
// One idle cycle on the line: two release requests (2 x 6), the take request (6), the
// ECR's reply frame 0A "004703;" 0D C1 C2 (11) and the computer's FF 06 (2).
constexpr int CycleBytes = 2 * 6 + 6 + 11 + 2;

struct TOptions {
  std::string Mode;
  double Seconds = 0;
  int Runs = 3;
  bool Filler = false;
};

// The serial side as the server builds it: the communication object on the pty's slave
// side and the polling thread over it. Destroyed in reverse order: the thread first.
struct TComputer {
  explicit TComputer(const TPty& pty) {
    Com.SetLogSink([this](std::string_view) { ++IoFailures; });
    Com.SetCommPortName(pty.SlavePath());
    Com.SetSpeed(Speed);
    Com.OpenEcrPort();
    Pol.SetCommunicationObject(&Com);
  }
  TSimpleComObject Com;
  std::atomic<int> IoFailures{0};
  TPolThread Pol;
};

// A thread's CPU clock, published by the thread itself the first time it passes.
class TThreadClock {
 public:
  void Publish() {
    if (!FKnown.load(std::memory_order_acquire)) {
      FId = ThisThreadCpuClock();
      FKnown.store(true, std::memory_order_release);
    }
  }
  bool Known() const { return FKnown.load(std::memory_order_acquire); }
  double Seconds() const { return Known() ? CpuSeconds(FId) : 0; }

 private:
  clockid_t FId{};
  std::atomic<bool> FKnown{false};
};

// CPU seconds of the process and of some threads between two moments.
struct TCpuSpan {
  double Process = 0;
  std::vector<double> Threads;
};

TCpuSpan CpuNow(std::initializer_list<const TThreadClock*> threads) {
  TCpuSpan s{CpuSeconds(CLOCK_PROCESS_CPUTIME_ID), {}};
  for (const auto* t : threads) s.Threads.push_back(t->Seconds());
  return s;
}

// ---------------------------------------------------------------- inline

struct TInlineRun {
  double CyclesPerSec = 0;
  double PollCpu = 0;  // % of one core
  double SimCpu = 0;
  // The reply frame's last byte reaches the computer somewhere inside the simulator's
  // write (a pty write hands the bytes over before it returns, in some 10 us): FF 06
  // read after the write began (an upper bound) and after it returned (a lower bound).
  std::vector<double> AckUs;
  std::vector<double> AckAfterWriteUs;
};

TInlineRun RunInline(double seconds) {
  TPty pty;
  TStampedLine line(pty);
  ecrsim::TSimRunner sim(ecrsim::ParseSimScript("ecr 3\n", "bench"), line,
                         ecrsim::TRunOptions{.Speed = Speed});
  std::atomic<bool> measuring{false};
  TThreadClock simClock, pollClock;
  TInlineRun run;
  run.AckUs.reserve(1 << 20);
  run.AckAfterWriteUs.reserve(1 << 20);
  Clock::time_point paired{};  // the frame whose ACK was counted (simulator thread only)
  sim.SetObserver([&](const ecrsim::TLineEvent& e) {
    simClock.Publish();
    if (e.Kind != ecrsim::TLineEventKind::Ack || line.FrameWritten() == paired) return;
    paired = line.FrameWritten();
    if (measuring.load(std::memory_order_relaxed)) {
      run.AckUs.push_back(Micros(line.LastRead() - line.FrameBegun()));
      run.AckAfterWriteUs.push_back(Micros(line.LastRead() - paired));
    }
  });
  sim.Start();

  std::atomic<long> cycles{0};
  {
    TComputer pc(pty);
    pc.Pol.SetOnEcrInLine([&](TPolThread&, std::int32_t, const ShortStr&, std::uint8_t) {
      pollClock.Publish();
      cycles.fetch_add(1, std::memory_order_relaxed);
    });
    pc.Pol.AddEcr(3);
    pc.Pol.NoiseOn();  // as the server does while an ECR is polled
    pc.Pol.Resume();
    std::this_thread::sleep_for(WarmUp);

    measuring = true;
    const auto t0 = Clock::now();
    const long c0 = cycles.load();
    const TCpuSpan cpu0 = CpuNow({&pollClock, &simClock});
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const TCpuSpan cpu1 = CpuNow({&pollClock, &simClock});
    const long c1 = cycles.load();
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    measuring = false;

    run.CyclesPerSec = static_cast<double>(c1 - c0) / elapsed;
    run.PollCpu = 100 * (cpu1.Threads[0] - cpu0.Threads[0]) / elapsed;
    run.SimCpu = 100 * (cpu1.Threads[1] - cpu0.Threads[1]) / elapsed;
    if (pc.IoFailures > 0) std::printf("  (%d failed reads/writes logged)\n", pc.IoFailures.load());
  }
  sim.Stop();  // the samples are the simulator thread's until it has ended
  return run;
}

int BenchInline(const TOptions& o) {
  const double wireMs = WireMs(CycleBytes, Speed);
  std::printf("poll_bench inline: 1 ECR answering in-line, %d runs of %.0f s, load average %s\n",
              o.Runs, o.Seconds, LoadAverage().c_str());
  std::vector<double> rates;
  std::vector<double> acks, acksAfter;
  for (int i = 1; i <= o.Runs; ++i) {
    TInlineRun r = RunInline(o.Seconds);
    std::vector<double> a = r.AckUs;
    std::printf("  run %d: %.0f cycles/s = %.1f us/cycle (poll thread %.0f%%, simulator %.0f%% of a core); "
                "ACK after reply: median %.1f us, p99 %.1f us (%zu)\n",
                i, r.CyclesPerSec, 1e6 / r.CyclesPerSec, r.PollCpu, r.SimCpu, Percentile(a, 0.5),
                Percentile(a, 0.99), a.size());
    rates.push_back(r.CyclesPerSec);
    acks.insert(acks.end(), r.AckUs.begin(), r.AckUs.end());
    acksAfter.insert(acksAfter.end(), r.AckAfterWriteUs.begin(), r.AckAfterWriteUs.end());
  }
  const double best = *std::max_element(rates.begin(), rates.end());
  const double median = Median(rates);
  const auto share = [&](double rate) { return 100 * (1e3 / rate) / wireMs; };
  std::printf("inline cycles/s: best %.0f (%.1f us/cycle), median %.0f (%.1f us/cycle)\n", best,
              1e6 / best, median, 1e6 / median);
  std::printf("inline software share: the wire takes %.2f ms per cycle (%d bytes at %d baud); "
              "software adds %.2f%% (best), %.2f%% (median); goal <= 2%%\n",
              wireMs, CycleBytes, Speed, share(best), share(median));
  std::printf("ack after last CRC byte: median %.1f us, p99 %.1f us over %zu cycles, from the start of "
              "the frame's write (from its return: median %.1f us, p99 %.1f us); goal median < 1000 us\n",
              Percentile(acks, 0.5), Percentile(acks, 0.99), acks.size(), Percentile(acksAfter, 0.5),
              Percentile(acksAfter, 0.99));
  std::printf("load average after: %s\n", LoadAverage().c_str());
  return 0;
}

// ---------------------------------------------------------------- silent

struct TSilentRun {
  double TakesPerSec = 0;
  double PollCpu = 0;     // % of one core
  double ProcessCpu = 0;  // the whole process without the far end's reader
  double BytesPerSec = 0;
};

TSilentRun RunSilent(double seconds, bool filler) {
  TPty pty;
  std::atomic<bool> stop{false};
  std::atomic<long> bytes{0};
  TThreadClock readerClock, pollClock;
  // The far end: an open line whose reader drops everything and never answers.
  std::thread reader([&] {
    readerClock.Publish();
    std::array<std::uint8_t, 256> buf{};
    while (!stop) bytes += static_cast<long>(pty.Read(buf, 10));
  });

  TSilentRun run;
  std::atomic<long> takes{0};
  {
    TComputer pc(pty);
    pc.Pol.SetOnTakeError([&](TPolThread&, std::int32_t, std::uint8_t, std::int32_t) {
      pollClock.Publish();
      takes.fetch_add(1, std::memory_order_relaxed);
    });
    for (int ecr = 1; ecr <= MAX_ECR_COUNT; ++ecr) pc.Pol.AddEcr(ecr);
    if (filler) pc.Pol.NoiseOn();
    pc.Pol.Resume();
    std::this_thread::sleep_for(WarmUp);

    const auto t0 = Clock::now();
    const long k0 = takes.load(), b0 = bytes.load();
    const TCpuSpan cpu0 = CpuNow({&pollClock, &readerClock});
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const TCpuSpan cpu1 = CpuNow({&pollClock, &readerClock});
    const long k1 = takes.load(), b1 = bytes.load();
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();

    run.TakesPerSec = static_cast<double>(k1 - k0) / elapsed;
    run.BytesPerSec = static_cast<double>(b1 - b0) / elapsed;
    run.PollCpu = 100 * (cpu1.Threads[0] - cpu0.Threads[0]) / elapsed;
    const double reader = cpu1.Threads[1] - cpu0.Threads[1];
    run.ProcessCpu = 100 * (cpu1.Process - cpu0.Process - reader) / elapsed;
  }
  stop = true;
  reader.join();
  return run;
}

int BenchSilent(const TOptions& o) {
  std::printf("poll_bench silent: %d ECRs polled, none answering, filler %s, %d runs of %.0f s, "
              "load average %s\n",
              MAX_ECR_COUNT, o.Filler ? "on" : "off", o.Runs, o.Seconds, LoadAverage().c_str());
  std::vector<double> poll, proc;
  for (int i = 1; i <= o.Runs; ++i) {
    const TSilentRun r = RunSilent(o.Seconds, o.Filler);
    std::printf("  run %d: %.1f takes/s, %.0f bytes/s on the line; polling thread %.3f%%, process "
                "(reader excluded) %.3f%% of a core\n",
                i, r.TakesPerSec, r.BytesPerSec, r.PollCpu, r.ProcessCpu);
    poll.push_back(r.PollCpu);
    proc.push_back(r.ProcessCpu);
  }
  std::printf("silent cpu (filler %s): polling thread best %.3f%%, median %.3f%%; process best %.3f%%, "
              "median %.3f%% of one core; goal < 2%%\n",
              o.Filler ? "on" : "off", *std::min_element(poll.begin(), poll.end()), Median(poll),
              *std::min_element(proc.begin(), proc.end()), Median(proc));
  std::printf("load average after: %s\n", LoadAverage().c_str());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: poll_bench inline [--seconds S] [--runs N]\n"
               "       poll_bench silent [--seconds S] [--runs N] [--filler]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  o.Mode = ModeArgument(argc, argv, {"inline", "silent"});
  if (o.Mode.empty()) return Usage();
  o.Seconds = o.Mode == "inline" ? 5 : 10;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      o.Seconds = std::strtod(argv[++i], nullptr);
    } else if (a == "--runs" && i + 1 < argc) {
      o.Runs = std::atoi(argv[++i]);
    } else if (a == "--filler") {
      o.Filler = true;
    } else {
      return Usage();
    }
  }
  if (!(o.Seconds > 0) || o.Runs < 1) return Usage();
  return RunReporting("poll_bench", [&] {
    TScratchDir dir;  // the program's log goes here, not beside the executable
    BindProgramLog(dir.path() / "poll_bench");
    return o.Mode == "inline" ? BenchInline(o) : BenchSilent(o);
  });
}
