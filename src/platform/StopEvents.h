#pragma once
// Stop events: the requests from outside to close the program (Ctrl-C, a service stop, a
// logout), to restart it with its stored settings, or to report its counters. On POSIX
// they are the signals SIGINT and SIGTERM (close), SIGHUP (restart) and SIGUSR1 (report).
//
// Their default action would end the process on the spot, unsaved; so a program holds
// them back from the first instruction of main and takes them only once it can handle
// them: one that came meanwhile is then delivered, once, not lost.
//
// On Windows they are the console's control events: Ctrl-C, Ctrl-Break and the closing of
// the console window (Close); a window's logoff and shutdown and the service manager's
// stop, pause and continue come through RaiseStopEvent. HoldStopEvents before anything
// can arrive, delivery on a thread of the platform's own, each event once.
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>

namespace kassiro::platform {

// Pause: stop serving until a Restart (the service manager's pause; no signal on POSIX).
enum class TStopEvent { Close, Restart, Report, Pause };
// The number of kinds, for tables indexed by kind: the last one's index + 1.
inline constexpr std::size_t STOP_EVENT_KINDS = static_cast<std::size_t>(TStopEvent::Pause) + 1;

// The events a program takes; the others keep their system default.
using TStopEventKinds = std::initializer_list<TStopEvent>;
inline constexpr TStopEventKinds CLOSE_AND_RESTART = {TStopEvent::Close, TStopEvent::Restart};

// Holds the events of kinds back in the calling thread and in every thread it starts
// afterwards, so that none ends the process and none is lost. Call it first in main.
void HoldStopEvents(TStopEventKinds kinds = CLOSE_AND_RESTART);

// Lets them through again in the calling thread: what arrived meanwhile takes its
// system default now (for a program that has nothing to save).
void ReleaseStopEvents(TStopEventKinds kinds = CLOSE_AND_RESTART);

// An event as it came, with the system's own number for it (the signal), for a log line.
struct TStopNotice {
  TStopEvent Event;
  int SystemCode;
};

// Raises event in this process as if it came from outside: how a window's logoff or a
// service manager's stop, seen by code of their own, reaches the program's one path.
// SIGTERM, SIGHUP or SIGUSR1 on POSIX.
void RaiseStopEvent(TStopEvent event);

// Blocks until one of the held events of kinds arrives, and returns it.
TStopNotice WaitForStopEvent(TStopEventKinds kinds);

// Delivers each held event of kinds, once, to onEvent on a thread of its own, from its
// construction (an event that came before it is delivered at once) until its
// destruction, which waits for a delivery under way. onEvent hands the event to the
// program's own loop; it must not destroy this object. Throws std::system_error.
class TStopEvents {
 public:
  using THandler = std::function<void(TStopEvent)>;
  TStopEvents(TStopEventKinds kinds, THandler onEvent);
  ~TStopEvents();
  TStopEvents(const TStopEvents&) = delete;
  TStopEvents& operator=(const TStopEvents&) = delete;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace kassiro::platform
