#include "platform/Journal.h"

#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace kassiro::platform {

namespace {

bool Set(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

void Notify(const std::string& state) { sd_notify(0, state.c_str()); }

std::string StatusLine(std::string_view status) {
  return status.empty() ? std::string() : "\nSTATUS=" + std::string(status);
}

}  // namespace

// systemd sets INVOCATION_ID, or connects our output to the journal.
bool UnderServiceManager() { return Set("INVOCATION_ID") || Set("JOURNAL_STREAM"); }

void JournalLine(std::string_view identifier, std::string_view text, TJournalLevel level) {
  const std::string message(text);
  const std::string id(identifier);
  sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%i", static_cast<int>(level), "SYSLOG_IDENTIFIER=%s",
                  id.c_str(), nullptr);
}

void TServiceNotify::Ready(std::string_view status) { Notify("READY=1" + StatusLine(status)); }

void TServiceNotify::Reloading() {
  // The manager matches a reload by the monotonic time at which it began.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void TServiceNotify::Stopping() { Notify("STOPPING=1"); }

void TServiceNotify::Paused() { Notify("STATUS=Paused"); }

void TServiceNotify::Status(std::string_view status) { Notify("STATUS=" + std::string(status)); }

}  // namespace kassiro::platform
