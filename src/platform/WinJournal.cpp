#include "platform/Journal.h"

#include <windows.h>

#include <string>

#include "platform/WinServiceState.h"
#include "platform/WinText.h"

namespace kassiro::platform {

// The service's own code (the service control dispatcher) knows whether the manager
// started it; a program started from a console or the desktop is not under it.
bool UnderServiceManager() { return RunningAsService(); }

// Errors and warnings go to the Application event log under the program's name; the
// log file holds every line, so the lesser ones are not repeated there.
void JournalLine(std::string_view identifier, std::string_view text, TJournalLevel level) {
  if (level != TJournalLevel::Error && level != TJournalLevel::Warning) return;
  HANDLE source = ::RegisterEventSourceW(nullptr, ToWide(identifier).c_str());
  if (source == nullptr) return;
  const std::wstring message = ToWide(text);
  const wchar_t* strings[] = {message.c_str()};
  ::ReportEventW(source, level == TJournalLevel::Error ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE, 0, 0, nullptr,
                 1, 0, strings, nullptr);
  ::DeregisterEventSource(source);
}

// The service's state goes to the service manager; a program not under it has nobody
// to tell. A restart under the manager is a continue, so its pending state is that one.
// The manager shows no status text.
void TServiceNotify::Ready(std::string_view) { ReportServiceState(SERVICE_RUNNING); }
void TServiceNotify::Reloading() { ReportServiceState(SERVICE_CONTINUE_PENDING); }
void TServiceNotify::Stopping() { ReportServiceState(SERVICE_STOP_PENDING); }
void TServiceNotify::Paused() { ReportServiceState(SERVICE_PAUSED); }
void TServiceNotify::Status(std::string_view) {}

}  // namespace kassiro::platform
