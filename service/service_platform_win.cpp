// The service host's platform calls on Windows: SCM dispatcher, handler registration and
// status reports (advapi32), Winsock start and clean-up (ws2_32), debugger output.
#include <winsock2.h>
// After winsock2.h, so that nothing pulls in the old winsock.h first.
#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "service/service_host.h"
#include "service/service_platform.h"

namespace brumo {

static_assert(kServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(kServiceStopped == SERVICE_STOPPED);
static_assert(kServiceStartPending == SERVICE_START_PENDING);
static_assert(kServiceStopPending == SERVICE_STOP_PENDING);
static_assert(kServiceRunning == SERVICE_RUNNING);
static_assert(kServiceAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP);
static_assert(kServiceControlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(kErrorFailedServiceControllerConnect == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
static_assert(kErrorServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(kWinsockVersion == MAKEWORD(2, 2));
#ifdef ERROR_UNHANDLED_EXCEPTION
static_assert(kUnhandledExceptionExitCode == ERROR_UNHANDLED_EXCEPTION);
#endif

static_assert(sizeof(ServiceStatusRecord) == sizeof(SERVICE_STATUS));
static_assert(offsetof(ServiceStatusRecord, service_type) ==
              offsetof(SERVICE_STATUS, dwServiceType));
static_assert(offsetof(ServiceStatusRecord, current_state) ==
              offsetof(SERVICE_STATUS, dwCurrentState));
static_assert(offsetof(ServiceStatusRecord, controls_accepted) ==
              offsetof(SERVICE_STATUS, dwControlsAccepted));
static_assert(offsetof(ServiceStatusRecord, win32_exit_code) ==
              offsetof(SERVICE_STATUS, dwWin32ExitCode));
static_assert(offsetof(ServiceStatusRecord, service_specific_exit_code) ==
              offsetof(SERVICE_STATUS, dwServiceSpecificExitCode));
static_assert(offsetof(ServiceStatusRecord, check_point) == offsetof(SERVICE_STATUS, dwCheckPoint));
static_assert(offsetof(ServiceStatusRecord, wait_hint) == offsetof(SERVICE_STATUS, dwWaitHint));

namespace {

// Set before the dispatcher starts the service thread; read by the two thunks.
ServiceHost* g_host = nullptr;
// Written by the service main thread, read by whichever thread reports.
std::atomic<SERVICE_STATUS_HANDLE> g_status_handle{nullptr};

// Both forward to members that catch everything (noexcept), so that no exception unwinds
// through the SCM's frames.
void WINAPI ServiceMainThunk(DWORD /*argc*/, LPSTR* /*argv*/) { g_host->ServiceMain(); }

void WINAPI ControlHandlerThunk(DWORD control) { g_host->HandleControl(control); }

static_assert(noexcept(g_host->ServiceMain()) && noexcept(g_host->HandleControl(0)));

}  // namespace

DispatcherResult RunServiceDispatcher(ServiceHost* host) {
  g_host = host;
  // The table's name field is not const in the platform's declaration.
  char name[] = "BrumoVPN";
  static_assert(sizeof(name) == sizeof(kServiceName));
  const SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMainThunk}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherA(table)) return {true, 0};
  return {false, GetLastError()};
}

std::uint32_t RegisterControlHandler() {
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerA(kServiceName, ControlHandlerThunk);
  g_status_handle.store(handle);
  if (handle != nullptr) return 0;
  const DWORD error = GetLastError();
  return error != 0 ? error : ERROR_INVALID_HANDLE;
}

void EndProcess(std::uint32_t exit_code) {
  // Not ExitProcess: it runs every DLL's detach code after the other threads are gone, and
  // Microsoft's page for it says that this deadlocks when a terminated thread held a lock
  // the detach code takes, so that TerminateProcess is the better call when the state of
  // the threads is not known. Here it never is: a thread may be stuck inside tun2proxy.
  TerminateProcess(GetCurrentProcess(), exit_code);
  // Not reached: a process that terminates itself does not come back from the call.
  ExitProcess(exit_code);
}

void ReportServiceStatus(const ServiceStatusRecord& record) {
  SERVICE_STATUS status{};
  status.dwServiceType = record.service_type;
  status.dwCurrentState = record.current_state;
  status.dwControlsAccepted = record.controls_accepted;
  status.dwWin32ExitCode = record.win32_exit_code;
  status.dwServiceSpecificExitCode = record.service_specific_exit_code;
  status.dwCheckPoint = record.check_point;
  status.dwWaitHint = record.wait_hint;
  SetServiceStatus(g_status_handle.load(), &status);
}

int StartWinsock() {
  WSADATA data{};
  return WSAStartup(kWinsockVersion, &data);
}

void CleanupWinsock() { WSACleanup(); }

void WriteDebugOutput(const std::string& text) { OutputDebugStringA(text.c_str()); }

void WriteConsoleText(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace brumo
