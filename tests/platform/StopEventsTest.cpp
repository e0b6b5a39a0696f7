#include "platform/StopEvents.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <vector>

namespace kassiro::platform {
namespace {

using namespace std::chrono_literals;

#ifndef _WIN32
// Runs body in a forked child, whose signal mask and pending signals are its own; the
// child's wait status.
int InChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}
#endif

constexpr TStopEventKinds ALL_KINDS = {TStopEvent::Close, TStopEvent::Restart, TStopEvent::Report};

// The events a TStopEvents delivered, in order.
class TCollected {
 public:
  void Add(TStopEvent e) {
    const std::lock_guard lock(FMutex);
    FEvents.push_back(e);
    FChanged.notify_all();
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, 10s, [&] { return FEvents.size() >= count; });
  }
  std::vector<TStopEvent> Events() {
    const std::lock_guard lock(FMutex);
    return FEvents;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<TStopEvent> FEvents;
};

// A stop that the program's own code raises (a window's logoff, the service manager's
// stop) takes the path of one from outside: held until delivery begins, then delivered
// once, by TStopEvents or to a waiter. 0 when it went so.
int RaisedEventsTakeTheSamePath() {
  HoldStopEvents(ALL_KINDS);
  RaiseStopEvent(TStopEvent::Restart);
  TCollected got;
  {
    const TStopEvents events(ALL_KINDS, [&got](TStopEvent e) { got.Add(e); });
    if (!got.WaitFor(1)) return 2;
    RaiseStopEvent(TStopEvent::Close);
    if (!got.WaitFor(2)) return 3;
  }
  if (got.Events() != std::vector<TStopEvent>{TStopEvent::Restart, TStopEvent::Close}) return 1;
  RaiseStopEvent(TStopEvent::Report);
  return WaitForStopEvent(ALL_KINDS).Event == TStopEvent::Report ? 0 : 4;
}

#ifdef _WIN32
// Windows keeps the held kinds for the process, which this test program is.
TEST(StopEventsTest, RaisedEventsTakeTheSamePath) { EXPECT_EQ(RaisedEventsTakeTheSamePath(), 0); }

// The console's events (Ctrl-C, Ctrl-Break, closing the window) come from a console
// this test has not; kassirod.exe under Wine takes them in the end-to-end test.
#else
TEST(StopEventsTest, RaisedEventsTakeTheSamePath) {
  const int status = InChild(RaisedEventsTakeTheSamePath);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(StopEventsTest, EachSignalIsTheEventOfItsKind) {
  struct TCase {
    int Signal;
    TStopEvent Event;
  };
  for (const TCase c : {TCase{SIGINT, TStopEvent::Close}, TCase{SIGTERM, TStopEvent::Close},
                        TCase{SIGHUP, TStopEvent::Restart}, TCase{SIGUSR1, TStopEvent::Report}}) {
    SCOPED_TRACE(c.Signal);
    const int status = InChild([&] {
      HoldStopEvents(ALL_KINDS);
      ::kill(::getpid(), c.Signal);
      const TStopNotice n = WaitForStopEvent(ALL_KINDS);
      return n.Event == c.Event && n.SystemCode == c.Signal ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

// What came before delivery began is delivered then, once; what comes later too.
TEST(StopEventsTest, HeldEventsAreDeliveredOnceWhenDeliveryBegins) {
  const int status = InChild([] {
    HoldStopEvents(ALL_KINDS);
    ::kill(::getpid(), SIGHUP);
    TCollected got;
    {
      const TStopEvents events(ALL_KINDS, [&got](TStopEvent e) { got.Add(e); });
      if (!got.WaitFor(1)) return 2;
      ::kill(::getpid(), SIGTERM);
      if (!got.WaitFor(2)) return 3;
    }
    const std::vector<TStopEvent> want = {TStopEvent::Restart, TStopEvent::Close};
    return got.Events() == want ? 0 : 1;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The bridge takes only the close: a restart request keeps its default and ends it.
TEST(StopEventsTest, KindsNotTakenKeepTheirDefault) {
  const int status = InChild([] {
    HoldStopEvents({TStopEvent::Close});
    ::kill(::getpid(), SIGTERM);  // held: pending, not fatal
    ::kill(::getpid(), SIGHUP);
    ::pause();
    return 0;
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
}

// A program with nothing to save lets them through: the held one takes effect then.
TEST(StopEventsTest, ReleaseDeliversWhatWasHeld) {
  const int status = InChild([] {
    HoldStopEvents();
    ::kill(::getpid(), SIGTERM);
    ReleaseStopEvents();
    return 0;
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

#endif

}  // namespace
}  // namespace kassiro::platform
