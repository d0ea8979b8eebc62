// The platform under the service host: Service Control Manager, Winsock, debugger output,
// and console output. service_platform_win.cpp implements these on Windows;
// tests link a recording stand-in.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace brumo {

class ServiceHost;
struct ServiceStatusRecord;

struct DispatcherResult {
  bool ok = false;
  std::uint32_t error = 0;  // the last error when !ok
};

// Runs the SCM dispatcher with one service, "BrumoVPN", whose service main and control
// handler forward to `host` (not owned; must outlive the process's services). Blocks
// until the service has stopped; fails at once when the process was not started by the
// SCM (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT).
DispatcherResult RunServiceDispatcher(ServiceHost* host);

// Registers the control handler under "BrumoVPN": 0, or the error (never 0) when no
// status handle came back. Service main thread, before any report.
std::uint32_t RegisterControlHandler();

// Ends the process at once with `exit_code`, running no exit-time or detach code of any
// library. Used when the dispatcher cannot be left to return (no status handle), after a
// shutdown that hangs, and when an exception reaches an entry point of the service. Any
// thread. Returns only from a stand-in.
void EndProcess(std::uint32_t exit_code);

// Sends `record` to the SCM under the registered status handle; the outcome is not
// examined. Callers serialise their reports.
void ReportServiceStatus(const ServiceStatusRecord& record);

// WSAStartup for version kWinsockVersion: 0 or its error code. CleanupWinsock: WSACleanup,
// outcome ignored.
int StartWinsock();
void CleanupWinsock();

// One OutputDebugStringA call with `text`.
void WriteDebugOutput(const std::string& text);

// Writes `text` to standard output.
void WriteConsoleText(std::string_view text);

}  // namespace brumo
