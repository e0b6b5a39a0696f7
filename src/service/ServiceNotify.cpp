#include "service/ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <ctime>
#include <string>

namespace kassiro {

namespace {

void Notify(const std::string& state) { sd_notify(0, state.c_str()); }

std::string StatusLine(std::string_view status) {
  return status.empty() ? std::string() : "\nSTATUS=" + std::string(status);
}

}  // namespace

void TServiceNotify::Ready(std::string_view status) { Notify("READY=1" + StatusLine(status)); }

void TServiceNotify::Reloading() {
  // The manager matches a reload by the monotonic time at which it began.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void TServiceNotify::Stopping() { Notify("STOPPING=1"); }

void TServiceNotify::Status(std::string_view status) { Notify("STATUS=" + std::string(status)); }

}  // namespace kassiro
