#pragma once
// Inside the platform library and its tests only: the state a Windows service reports to
// the service manager, shared by the service's dispatcher and TServiceNotify, and the
// service's control handler, which a test calls as the manager would.

#include <windows.h>

namespace kassiro::platform {

// True while this process runs as a service.
bool RunningAsService();

// Reports state (SERVICE_RUNNING, SERVICE_STOP_PENDING...) to the service manager; the
// controls taken follow from it. Nothing when not a service.
void ReportServiceState(DWORD state, DWORD exitCode = NO_ERROR);

// The last state reported (also when not a service, for the tests).
DWORD LastServiceState();

// What the manager calls for each control.
DWORD WINAPI OnServiceControl(DWORD control, DWORD eventType, void* eventData, void* context);

}  // namespace kassiro::platform
