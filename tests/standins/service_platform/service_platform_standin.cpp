// Recording stand-in for the service host's platform; see service_platform_standin.h.
#include "tests/standins/service_platform/service_platform_standin.h"

#include <mutex>
#include <utility>

namespace brumo {
namespace service_standin {
namespace {

struct State {
  std::mutex mutex;
  bool register_result = true;
  int winsock_result = 0;
  DispatcherResult dispatcher_result{false, kErrorFailedServiceControllerConnect};
  std::function<void(std::string_view)> hook;

  std::vector<std::string> events;
  std::vector<ServiceStatusRecord> reports;
  std::vector<std::string> debug_output;
  std::string console_text;
  ServiceHost* dispatched_host = nullptr;
};

State& TheState() {
  static State state;
  return state;
}

template <typename Access>
auto Locked(Access access) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return access(state);
}

// Logs `event` after `update` (both under the lock), then runs the hook outside the lock.
template <typename Update>
void Record(std::string event, Update update) {
  const auto hook = Locked([&](State& s) {
    update(s);
    s.events.push_back(event);
    return s.hook;
  });
  if (hook) hook(event);
}

const char* ReportName(std::uint32_t state) {
  switch (state) {
    case kServiceStartPending:
      return "report start-pending";
    case kServiceRunning:
      return "report running";
    case kServiceStopPending:
      return "report stop-pending";
    case kServiceStopped:
      return "report stopped";
    default:
      return "report ?";
  }
}

}  // namespace

void Reset() {
  Locked([](State& s) {
    s.register_result = true;
    s.winsock_result = 0;
    s.dispatcher_result = {false, kErrorFailedServiceControllerConnect};
    s.hook = nullptr;
    s.events.clear();
    s.reports.clear();
    s.debug_output.clear();
    s.console_text.clear();
    s.dispatched_host = nullptr;
  });
}
void SetRegisterResult(bool ok) {
  Locked([&](State& s) { s.register_result = ok; });
}
void SetWinsockResult(int result) {
  Locked([&](State& s) { s.winsock_result = result; });
}
void SetDispatcherResult(DispatcherResult result) {
  Locked([&](State& s) { s.dispatcher_result = result; });
}
void SetEventHook(std::function<void(std::string_view)> hook) {
  Locked([&](State& s) { s.hook = std::move(hook); });
}
void Log(std::string event) {
  Locked([&](State& s) { s.events.push_back(std::move(event)); });
}

std::vector<std::string> Events() {
  return Locked([](State& s) { return s.events; });
}
std::vector<ServiceStatusRecord> Reports() {
  return Locked([](State& s) { return s.reports; });
}
std::vector<std::string> DebugOutput() {
  return Locked([](State& s) { return s.debug_output; });
}
std::string ConsoleText() {
  return Locked([](State& s) { return s.console_text; });
}
ServiceHost* DispatchedHost() {
  return Locked([](State& s) { return s.dispatched_host; });
}

}  // namespace service_standin

namespace standin = service_standin;

DispatcherResult RunServiceDispatcher(ServiceHost* host) {
  DispatcherResult result;
  standin::Record("dispatcher", [&](standin::State& s) {
    s.dispatched_host = host;
    result = s.dispatcher_result;
  });
  return result;
}

bool RegisterControlHandler() {
  bool ok = false;
  standin::Record("register handler", [&](standin::State& s) { ok = s.register_result; });
  return ok;
}

void ReportServiceStatus(const ServiceStatusRecord& record) {
  standin::Record(standin::ReportName(record.current_state),
                  [&](standin::State& s) { s.reports.push_back(record); });
}

int StartWinsock() {
  int result = 0;
  standin::Record("winsock start", [&](standin::State& s) { result = s.winsock_result; });
  return result;
}

void CleanupWinsock() {
  standin::Record("winsock cleanup", [](standin::State&) {});
}

void WriteDebugOutput(const std::string& text) {
  standin::Record("debug output", [&](standin::State& s) { s.debug_output.push_back(text); });
}

void WriteConsoleText(std::string_view text) {
  standin::Record("console text", [&](standin::State& s) { s.console_text.append(text); });
}

}  // namespace brumo
