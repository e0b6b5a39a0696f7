#include <windows.h>

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/Service.h"
#include "platform/StopEvents.h"
#include "platform/WinServiceState.h"
#include "platform/WinText.h"

namespace kassiro::platform {

namespace {

// How long the manager is to wait for a pending state before it thinks the service hangs:
// a stop saves the settings and closes the line; a start opens it.
constexpr DWORD PENDING_HINT_MS = 30000;
// After a failure the manager starts the service again after these waits.
constexpr DWORD RESTART_DELAYS_MS[] = {5000, 30000, 60000};
constexpr DWORD FAILURE_RESET_S = 24 * 3600;

// The one service of the process, as the manager's calls need it: they carry no context
// of ours (ServiceMain is a plain function of the system's signature).
struct TServiceHost {
  std::mutex Lock;
  std::wstring Name;
  std::function<int()> Body;
  int ExitCode = 0;
  SERVICE_STATUS_HANDLE Handle = nullptr;
  SERVICE_STATUS Status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
  std::atomic<DWORD> Checkpoint = 0;
};

TServiceHost& Host() {
  static TServiceHost host;
  return host;
}

// Stop and shutdown whenever a service runs; pause and continue once it serves.
DWORD ControlsIn(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING:
    case SERVICE_PAUSED: return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_STOPPED:
    case SERVICE_START_PENDING: return 0;
    default: return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  }
}

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_PAUSE_PENDING ||
         state == SERVICE_CONTINUE_PENDING;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  TServiceHost& h = Host();
  h.Handle = ::RegisterServiceCtrlHandlerExW(h.Name.c_str(), &OnServiceControl, nullptr);
  if (h.Handle == nullptr) return;
  ReportServiceState(SERVICE_START_PENDING);
  const int code = h.Body();
  h.ExitCode = code;
  // A service that ends on its own with an error counts as failed: the manager's
  // recovery starts it again.
  ReportServiceState(SERVICE_STOPPED, code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR);
}

// Closes a service manager's handle when it goes out of scope.
struct TScHandle {
  SC_HANDLE H;
  explicit TScHandle(SC_HANDLE h) : H(h) {}
  ~TScHandle() {
    if (H != nullptr) ::CloseServiceHandle(H);
  }
  TScHandle(const TScHandle&) = delete;
  TScHandle& operator=(const TScHandle&) = delete;
};

std::wstring Quoted(const std::filesystem::path& p) { return L"\"" + p.wstring() + L"\""; }

}  // namespace

bool RunningAsService() { return Host().Handle != nullptr; }

DWORD LastServiceState() {
  const std::lock_guard lock(Host().Lock);
  return Host().Status.dwCurrentState;
}

void ReportServiceState(DWORD state, DWORD exitCode) {
  TServiceHost& h = Host();
  const std::lock_guard lock(h.Lock);
  h.Status.dwCurrentState = state;
  h.Status.dwControlsAccepted = ControlsIn(state);
  h.Status.dwWin32ExitCode = exitCode;
  h.Status.dwServiceSpecificExitCode = exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? static_cast<DWORD>(h.ExitCode) : 0;
  h.Status.dwCheckPoint = IsPending(state) ? ++h.Checkpoint : 0;
  h.Status.dwWaitHint = IsPending(state) ? PENDING_HINT_MS : 0;
  if (h.Handle != nullptr) ::SetServiceStatus(h.Handle, &h.Status);
}

// The manager's thread must not wait for the work: it is told the pending state and the
// program's loop does the rest, reporting the state reached through TServiceNotify.
DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ReportServiceState(SERVICE_STOP_PENDING);
      RaiseStopEvent(TStopEvent::Close);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      if (LastServiceState() != SERVICE_RUNNING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      ReportServiceState(SERVICE_PAUSE_PENDING);
      RaiseStopEvent(TStopEvent::Pause);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      if (LastServiceState() != SERVICE_PAUSED) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      ReportServiceState(SERVICE_CONTINUE_PENDING);
      RaiseStopEvent(TStopEvent::Restart);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      ReportServiceState(LastServiceState());
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

std::optional<int> RunAsService(const std::string& name, std::function<int()> body) {
  TServiceHost& h = Host();
  h.Name = ToWide(name);
  h.Body = std::move(body);
  SERVICE_TABLE_ENTRYW table[] = {{h.Name.data(), &ServiceMain}, {nullptr, nullptr}};
  // Returns once the service stopped; fails at once in a process the manager did not start.
  if (!::StartServiceCtrlDispatcherW(table)) return std::nullopt;
  return h.ExitCode;
}

std::error_code InstallService(const TServiceSetup& setup) {
  const TScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (manager.H == nullptr) return LastWindowsError();
  const std::wstring command = Quoted(setup.Executable) + L" " + ToWide(setup.Arguments);
  const TScHandle service(::CreateServiceW(manager.H, ToWide(setup.Name).c_str(), ToWide(setup.DisplayName).c_str(),
                                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                           SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr,
                                           nullptr));
  if (service.H == nullptr) return LastWindowsError();
  std::wstring description = ToWide(setup.Description);
  SERVICE_DESCRIPTIONW d{description.data()};
  SC_ACTION actions[std::size(RESTART_DELAYS_MS)];
  for (std::size_t i = 0; i < std::size(actions); ++i) actions[i] = {SC_ACTION_RESTART, RESTART_DELAYS_MS[i]};
  SERVICE_FAILURE_ACTIONSW failure{FAILURE_RESET_S, nullptr, nullptr, static_cast<DWORD>(std::size(actions)), actions};
  // Also after an end with an error of its own, not only after a crash.
  SERVICE_FAILURE_ACTIONS_FLAG onError{TRUE};
  // The description and the recovery are extras: a manager that refuses them still has the service.
  ::ChangeServiceConfig2W(service.H, SERVICE_CONFIG_DESCRIPTION, &d);
  ::ChangeServiceConfig2W(service.H, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  ::ChangeServiceConfig2W(service.H, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onError);
  return {};
}

std::error_code UninstallService(const std::string& name) {
  const TScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.H == nullptr) return LastWindowsError();
  const TScHandle service(::OpenServiceW(manager.H, ToWide(name).c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service.H == nullptr) return LastWindowsError();
  SERVICE_STATUS status{};
  ::ControlService(service.H, SERVICE_CONTROL_STOP, &status);  // a stopped service refuses: no matter
  if (!::DeleteService(service.H)) return LastWindowsError();
  return {};
}

std::filesystem::path DefaultServiceFolder() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
  const std::filesystem::path data = n > 0 && n < MAX_PATH ? std::filesystem::path(buffer) : std::filesystem::path(L"C:\\ProgramData");
  return data / "Kassiro";
}

}  // namespace kassiro::platform
