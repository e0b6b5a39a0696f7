#pragma once
// The system's service manager as a host of the program: on Windows the service control
// manager starts kassirod.exe as a service, hands it stop, shutdown, pause and continue,
// and shows the state the service reports; a service is registered and removed by name.
//
// The manager's requests arrive as stop events (StopEvents.h): stop and shutdown as
// Close, pause as Pause, continue as Restart; the state goes back through TServiceNotify
// (Journal.h). On POSIX, where systemd starts the program as it is, there is nothing to
// run or register here: RunAsService returns nothing and the others say so.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

namespace kassiro::platform {

// Hands the process to the service manager as the service name and runs body as its
// service; returns body's exit code once the service stopped. Nothing when the manager
// did not start this process (started from a console): the caller runs as a program.
std::optional<int> RunAsService(const std::string& name, std::function<int()> body);

struct TServiceSetup {
  std::string Name;         // "Kassiro"
  std::string DisplayName;  // what the manager's list shows
  std::string Description;
  std::filesystem::path Executable;
  std::string Arguments;    // the command line after the executable, when the manager starts it
};

// Registers the service to start with the system and to be started again after a failure.
std::error_code InstallService(const TServiceSetup& setup);
// Stops the service if it runs and removes it.
std::error_code UninstallService(const std::string& name);

// Where a service keeps its files when no folder is given: not beside its executable,
// which a service must not write (Program Files), but under the machine's program data.
std::filesystem::path DefaultServiceFolder();

}  // namespace kassiro::platform
