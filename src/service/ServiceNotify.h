// Tells the service manager where the server stands (sd_notify): ready once clients can
// connect and the line is open, reloading around a restart, stopping on the way out.
// Without a manager (no NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <string_view>

namespace kassiro {

class TServiceNotify {
 public:
  void Ready(std::string_view status);
  void Reloading();
  void Stopping();
  void Status(std::string_view status);
};

}  // namespace kassiro
