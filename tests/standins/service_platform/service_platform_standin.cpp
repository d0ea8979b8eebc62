// Recording stand-in for the service host's platform; see service_platform_standin.h.
#include "tests/standins/service_platform/service_platform_standin.h"

#include <string>

#include "tests/standins/guarded.h"

namespace brumo {
namespace service_standin {
namespace {

struct State {
  std::uint32_t register_error = 0;
  int winsock_result = 0;
  DispatcherResult dispatcher_result{false, kErrorFailedServiceControllerConnect};
  std::function<void(std::string_view)> hook;
  Record record;
};

auto& The() { return standins::TheState<State>(); }

// Logs `event` after `update` (both under the lock), then runs the hook outside the lock.
// Returns the state as the event left it.
template <typename Update = void (*)(State&)>
State Event(
    const std::string& event, Update update = [](State&) {}) {
  State after;
  standins::UpdateThenHook<State>(
      [&](State& s) {
        update(s);
        s.record.events.push_back(event);
        after = s;
        return s.hook;
      },
      event);
  return after;
}

}  // namespace

void Reset() {
  The()([](State& s) { s = State(); });
}
void SetRegisterError(std::uint32_t error) { The().Set(&State::register_error, error); }
void SetWinsockResult(int result) { The().Set(&State::winsock_result, result); }
void SetDispatcherResult(DispatcherResult result) { The().Set(&State::dispatcher_result, result); }
void SetEventHook(std::function<void(std::string_view)> hook) {
  The().Set(&State::hook, std::move(hook));
}
void Log(std::string event) {
  The()([&](State& s) { s.record.events.push_back(std::move(event)); });
}
Record Recorded() { return The().Get(&State::record); }

const standins::ResetWhenLinked registered(&Reset);

}  // namespace service_standin

namespace standin = service_standin;

DispatcherResult RunServiceDispatcher(ServiceHost* host) {
  return standin::Event("dispatcher", [&](standin::State& s) { s.record.dispatched_host = host; })
      .dispatcher_result;
}

std::uint32_t RegisterControlHandler() { return standin::Event("register handler").register_error; }

void EndProcess(std::uint32_t exit_code) {
  standin::Event("end process " + std::to_string(exit_code));
}

void ReportServiceStatus(const ServiceStatusRecord& record) {
  // kServiceStopped (1) to kServiceRunning (4).
  const char* const names[] = {"?", "stopped", "start-pending", "stop-pending", "running"};
  const std::uint32_t state = record.current_state;
  standin::Event(std::string("report ") + (state <= kServiceRunning ? names[state] : "?"),
                 [&](standin::State& s) { s.record.reports.push_back(record); });
}

int StartWinsock() { return standin::Event("winsock start").winsock_result; }

void CleanupWinsock() { standin::Event("winsock cleanup"); }

void WriteDebugOutput(const std::string& text) {
  standin::Event("debug output", [&](standin::State& s) { s.record.debug_output.push_back(text); });
}

void WriteConsoleText(std::string_view text) {
  standin::Event("console text", [&](standin::State& s) { s.record.console_text.append(text); });
}

}  // namespace brumo
