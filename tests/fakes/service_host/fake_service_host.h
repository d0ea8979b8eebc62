// Link-time stand-ins for the service host's tests: service/service_platform.h and the
// constructors, destructors, Start, Stop and IsRunning of DnsLeakGuard, TunnelController
// and ControlPipeServer. Every call is appended to one event log, so a test can check the
// order of platform calls and object lifetimes together. Thread-safe.
//
// Events, in the words the log uses:
//   "register handler", "report start-pending", "report running", "report stop-pending",
//   "report stopped", "winsock start", "winsock cleanup", "debug output", "sleep",
//   "guard created", "guard destroyed", "controller created", "controller stop",
//   "controller destroyed", "pipe created", "pipe start", "pipe stop", "pipe destroyed",
//   "dispatcher".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "service/service_host.h"
#include "service/service_platform.h"

namespace brumo {
namespace fake_service_host {

// Back to defaults: registration succeeds, Winsock starts, the dispatcher fails with
// kErrorFailedServiceControllerConnect, the tunnel is idle, no hook; logs emptied.
void Reset();

// Knobs.
void SetRegisterResult(bool ok);
void SetWinsockResult(int result);
void SetDispatcherResult(DispatcherResult result);
void SetTunnelRunning(bool running);  // what TunnelController::IsRunning answers
// Called on the calling thread after each event is logged, with the event's name. It may
// throw (the exception leaves the faked call) or deliver controls to a host; it must not
// call into a host from a "report ..." event, which runs under the host's status lock.
void SetEventHook(std::function<void(std::string_view event)> hook);

// What happened.
std::vector<std::string> Events();
std::vector<ServiceStatusRecord> Reports();
std::vector<std::string> DebugOutput();
std::string ConsoleText();
std::vector<std::chrono::milliseconds> Sleeps();
ServiceHost* DispatchedHost();

// The objects created, and the pointers each was given; null until created.
struct Objects {
  const void* guard = nullptr;
  const void* controller = nullptr;
  const void* controller_guard_argument = nullptr;
  const void* pipe = nullptr;
  const void* pipe_controller_argument = nullptr;
};
Objects CreatedObjects();

}  // namespace fake_service_host
}  // namespace brumo
