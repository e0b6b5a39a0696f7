#include "platform/StopEvents.h"

#include <windows.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "platform/WinServiceState.h"

namespace kassiro::platform {

namespace {

std::size_t Index(TStopEvent e) { return static_cast<std::size_t>(e); }

// The system code of an event raised by the program itself (not a console event).
constexpr int RAISED = -1;

// The events of the process: which kinds are held, and which came and were not yet
// taken. The console's handler runs on a thread the system starts, so everything is
// under one lock. One per process, as the console handler is.
class THub {
 public:
  static THub& Get() {
    static THub hub;
    return hub;
  }

  void Hold(TStopEventKinds kinds) {
    std::call_once(FInstalled, [] { ::SetConsoleCtrlHandler(&THub::OnConsole, TRUE); });
    const std::lock_guard lock(FMutex);
    for (const TStopEvent k : kinds) FHeld[Index(k)] = true;
  }

  // Returns whether a close came while held: the caller ends the process then, as the
  // system would have.
  bool Release(TStopEventKinds kinds) {
    const std::lock_guard lock(FMutex);
    bool close = false;
    for (const TStopEvent k : kinds) {
      FHeld[Index(k)] = false;
      if (k == TStopEvent::Close && FPending[Index(k)] > 0) close = true;
      FPending[Index(k)] = 0;
    }
    return close;
  }

  // False when the kind is not held: the system's default then applies.
  bool Raise(TStopEvent e, int code) {
    const std::lock_guard lock(FMutex);
    if (!FHeld[Index(e)]) return false;
    ++FPending[Index(e)];
    FCodes[Index(e)] = code;
    FChanged.notify_all();
    return true;
  }

  // The next event of kinds, or nothing once stop is true.
  std::optional<TStopNotice> Take(std::span<const TStopEvent> kinds, const bool& stop) {
    std::unique_lock lock(FMutex);
    std::optional<TStopNotice> got;
    FChanged.wait(lock, [&] {
      for (const TStopEvent k : kinds) {
        if (FPending[Index(k)] > 0) {
          --FPending[Index(k)];
          got = TStopNotice{k, FCodes[Index(k)]};
          return true;
        }
      }
      return stop;
    });
    return got;
  }

  // Wakes Take after stop was set (under the lock, so no wake-up is missed).
  void Stop(bool& stop) {
    const std::lock_guard lock(FMutex);
    stop = true;
    FChanged.notify_all();
  }

 private:
  static BOOL WINAPI OnConsole(DWORD type) {
    switch (type) {
      case CTRL_C_EVENT:
      case CTRL_BREAK_EVENT: return Get().Raise(TStopEvent::Close, static_cast<int>(type)) ? TRUE : FALSE;
      case CTRL_LOGOFF_EVENT:
        // A service hears every user's logoff: not its own end (taken, so nothing ends it).
        if (RunningAsService()) return TRUE;
        [[fallthrough]];
      case CTRL_CLOSE_EVENT:
      case CTRL_SHUTDOWN_EVENT:
        if (!Get().Raise(TStopEvent::Close, static_cast<int>(type))) return FALSE;
        // The system ends the process as soon as this returns (and after some seconds in
        // any case): the program saves and leaves main meanwhile, which ends it.
        std::this_thread::sleep_for(std::chrono::seconds(20));
        return TRUE;
      default: return FALSE;
    }
  }

  std::once_flag FInstalled;
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::array<bool, STOP_EVENT_KINDS> FHeld{};
  std::array<int, STOP_EVENT_KINDS> FPending{};
  std::array<int, STOP_EVENT_KINDS> FCodes{};
};

}  // namespace

void HoldStopEvents(TStopEventKinds kinds) { THub::Get().Hold(kinds); }

void ReleaseStopEvents(TStopEventKinds kinds) {
  // A Ctrl-C that came meanwhile ends the process now, as it would have then.
  if (THub::Get().Release(kinds)) ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void RaiseStopEvent(TStopEvent event) {
  // Not held: the default of a close is the end of the process; the others have none.
  if (!THub::Get().Raise(event, RAISED) && event == TStopEvent::Close)
    ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

TStopNotice WaitForStopEvent(TStopEventKinds kinds) {
  const bool never = false;
  return *THub::Get().Take(std::span(kinds.begin(), kinds.size()), never);
}

struct TStopEvents::TImpl {
  std::vector<TStopEvent> Kinds;
  THandler OnEvent;
  bool Stop = false;  // under the hub's lock
  std::thread Reader;

  void Read() {
    while (const auto notice = THub::Get().Take(Kinds, Stop))
      OnEvent(notice->Event);
  }
};

TStopEvents::TStopEvents(TStopEventKinds kinds, THandler onEvent) : FImpl(std::make_unique<TImpl>()) {
  FImpl->Kinds.assign(kinds.begin(), kinds.end());
  FImpl->OnEvent = std::move(onEvent);
  THub::Get().Hold(kinds);
  FImpl->Reader = std::thread([impl = FImpl.get()] { impl->Read(); });
}

TStopEvents::~TStopEvents() {
  THub::Get().Stop(FImpl->Stop);
  FImpl->Reader.join();
}

}  // namespace kassiro::platform
