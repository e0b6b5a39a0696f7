// The service's control handler as the service manager calls it: each control becomes
// the program's stop event, the pending state is reported at once, and a control the
// state does not allow is refused. In-process: Wine's service manager is not used here
// (see the README's Windows section for what was seen of it).
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "platform/Journal.h"
#include "platform/StopEvents.h"
#include "platform/WinServiceState.h"

namespace kassiro::platform {
namespace {

using namespace std::chrono_literals;

class ServiceControl : public ::testing::Test {
 protected:
  std::optional<TStopEvent> Next() {
    std::unique_lock lock(FLock);
    if (!FChanged.wait_for(lock, 10s, [this] { return FGot.has_value(); })) return std::nullopt;
    return std::exchange(FGot, std::nullopt);
  }

  std::mutex FLock;
  std::condition_variable FChanged;
  std::optional<TStopEvent> FGot;
  TStopEvents FEvents{{TStopEvent::Close, TStopEvent::Restart, TStopEvent::Pause}, [this](TStopEvent e) {
                        const std::lock_guard lock(FLock);
                        FGot = e;
                        FChanged.notify_all();
                      }};
};

TEST_F(ServiceControl, EachControlBecomesTheProgramsEventWithItsPendingState) {
  struct Case {
    DWORD before, control;
    TStopEvent event;
    DWORD pending;
  };
  for (const Case c : {Case{SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, TStopEvent::Pause, SERVICE_PAUSE_PENDING},
                       Case{SERVICE_PAUSED, SERVICE_CONTROL_CONTINUE, TStopEvent::Restart, SERVICE_CONTINUE_PENDING},
                       Case{SERVICE_RUNNING, SERVICE_CONTROL_STOP, TStopEvent::Close, SERVICE_STOP_PENDING},
                       Case{SERVICE_PAUSED, SERVICE_CONTROL_STOP, TStopEvent::Close, SERVICE_STOP_PENDING},
                       Case{SERVICE_RUNNING, SERVICE_CONTROL_SHUTDOWN, TStopEvent::Close, SERVICE_STOP_PENDING}}) {
    SCOPED_TRACE(c.control);
    ReportServiceState(c.before);
    EXPECT_EQ(OnServiceControl(c.control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(LastServiceState(), c.pending);
    EXPECT_EQ(Next(), c.event);
  }
}

TEST_F(ServiceControl, AControlTheStateDoesNotAllowIsRefusedAndRaisesNothing) {
  ReportServiceState(SERVICE_PAUSED);
  EXPECT_EQ(OnServiceControl(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr),
            static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  ReportServiceState(SERVICE_RUNNING);
  EXPECT_EQ(OnServiceControl(SERVICE_CONTROL_CONTINUE, 0, nullptr, nullptr),
            static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(OnServiceControl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(OnServiceControl(SERVICE_CONTROL_PARAMCHANGE, 0, nullptr, nullptr),
            static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_EQ(LastServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  // The first event to come is the stop's: nothing came before it.
  OnServiceControl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
  EXPECT_EQ(Next(), TStopEvent::Close);
}

// The program's notifications are the states the manager shows.
TEST(ServiceNotify, EachNotificationReportsItsServiceState) {
  TServiceNotify notify;
  struct Case {
    void (*notice)(TServiceNotify&);
    DWORD state;
  };
  for (const Case c : {Case{[](TServiceNotify& n) { n.Paused(); }, SERVICE_PAUSED},
                       Case{[](TServiceNotify& n) { n.Reloading(); }, SERVICE_CONTINUE_PENDING},
                       Case{[](TServiceNotify& n) { n.Ready("up"); }, SERVICE_RUNNING},
                       Case{[](TServiceNotify& n) { n.Stopping(); }, SERVICE_STOP_PENDING}}) {
    SCOPED_TRACE(c.state);
    c.notice(notify);
    EXPECT_EQ(LastServiceState(), c.state);
  }
  EXPECT_FALSE(UnderServiceManager());  // started from a console, not by the manager
}

}  // namespace
}  // namespace kassiro::platform
