#pragma once
// The system's journal and its service manager: whether the manager started this
// process, a line for the journal with its level, and the manager's notifications of
// where the service stands (ready, reloading, stopping, a status text).
//
// A second platform provides these calls over its own facilities (the event log and the
// service control manager on Windows); where there are none, each call does nothing.
#include <string_view>

namespace kassiro::platform {

// The levels of a journal line, as syslog numbers them.
enum class TJournalLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// True when the service manager started this process.
bool UnderServiceManager();

// Hands one line to the journal, tagged with the program's name.
void JournalLine(std::string_view identifier, std::string_view text, TJournalLevel level);

// Tells the service manager where the service stands. Without a manager, nothing.
class TServiceNotify {
 public:
  // Clients can connect and the line is open; status: what the manager shows beside it.
  void Ready(std::string_view status);
  void Reloading();
  void Stopping();
  // The server stopped serving until it is continued (a service's pause).
  void Paused();
  void Status(std::string_view status);
};

}  // namespace kassiro::platform
