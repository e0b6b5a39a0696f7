#include "platform/Service.h"

// systemd starts the program as it is and its units are files of the package: there is no
// dispatcher to hand the process to and nothing to register.

namespace kassiro::platform {

std::optional<int> RunAsService(const std::string&, std::function<int()>) { return std::nullopt; }

std::error_code InstallService(const TServiceSetup&) { return std::make_error_code(std::errc::not_supported); }

std::error_code UninstallService(const std::string&) { return std::make_error_code(std::errc::not_supported); }

std::filesystem::path DefaultServiceFolder() { return "/var/lib/kassiro"; }

}  // namespace kassiro::platform
