// Control of the recording stand-in of service/service_platform.h
// (service_platform_standin.cpp). Every call is appended to one event log, which tests may
// extend from the hooks of the other stand-ins, so that the order of platform calls across
// seams can be checked together. Thread-safe.
//
// Events, in the words the log uses:
//   "register handler", "report start-pending", "report running", "report stop-pending",
//   "report stopped", "winsock start", "winsock cleanup", "debug output", "console text",
//   "dispatcher", "end process <exit code>" (which returns).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "service/service_host.h"
#include "service/service_platform.h"

namespace brumo::service_standin {

// Registration succeeds, Winsock starts, the dispatcher fails with
// kErrorFailedServiceControllerConnect, no hook; logs emptied.
void Reset();

// 0: the registration succeeds.
void SetRegisterError(std::uint32_t error);
void SetWinsockResult(int result);
void SetDispatcherResult(DispatcherResult result);
// Called on the calling thread after each event is logged, with the event's name. It may
// throw (the exception leaves the call) or deliver controls to a host; it must not call
// into a host from a "report ..." event, which runs under the host's status lock.
void SetEventHook(std::function<void(std::string_view event)> hook);
// Appends an event of the test's own (no hook runs).
void Log(std::string event);

struct Record {
  std::vector<std::string> events;
  std::vector<ServiceStatusRecord> reports;
  std::vector<std::string> debug_output;
  std::string console_text;
  ServiceHost* dispatched_host = nullptr;
};
Record Recorded();

}  // namespace brumo::service_standin
