// Recording stand-ins for the service host's platform and objects; see fake_service_host.h.
#include "tests/fakes/service_host/fake_service_host.h"

#include <mutex>
#include <thread>
#include <utility>

#include "control/control_pipe_server.h"
#include "dnsguard/dns_leak_guard.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace fake_service_host {
namespace {

struct State {
  std::mutex mutex;
  bool register_result = true;
  int winsock_result = 0;
  DispatcherResult dispatcher_result{false, kErrorFailedServiceControllerConnect};
  bool tunnel_running = false;
  std::function<void(std::string_view)> hook;

  std::vector<std::string> events;
  std::vector<ServiceStatusRecord> reports;
  std::vector<std::string> debug_output;
  std::string console_text;
  std::vector<std::chrono::milliseconds> sleeps;
  ServiceHost* dispatched_host = nullptr;
  Objects objects;
};

State& TheState() {
  static State state;
  return state;
}

// Logs `event` (after `update`, under the lock), then runs the hook outside the lock.
template <typename Update>
void Record(std::string event, Update update) {
  State& state = TheState();
  std::function<void(std::string_view)> hook;
  {
    std::lock_guard lock(state.mutex);
    update(state);
    state.events.push_back(event);
    hook = state.hook;
  }
  if (hook) hook(event);
}

void Record(std::string event) {
  Record(std::move(event), [](State&) {});
}

const char* StateName(std::uint32_t state) {
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
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  state.register_result = true;
  state.winsock_result = 0;
  state.dispatcher_result = {false, kErrorFailedServiceControllerConnect};
  state.tunnel_running = false;
  state.hook = nullptr;
  state.events.clear();
  state.reports.clear();
  state.debug_output.clear();
  state.console_text.clear();
  state.sleeps.clear();
  state.dispatched_host = nullptr;
  state.objects = Objects{};
}

void SetRegisterResult(bool ok) {
  std::lock_guard lock(TheState().mutex);
  TheState().register_result = ok;
}

void SetWinsockResult(int result) {
  std::lock_guard lock(TheState().mutex);
  TheState().winsock_result = result;
}

void SetDispatcherResult(DispatcherResult result) {
  std::lock_guard lock(TheState().mutex);
  TheState().dispatcher_result = result;
}

void SetTunnelRunning(bool running) {
  std::lock_guard lock(TheState().mutex);
  TheState().tunnel_running = running;
}

void SetEventHook(std::function<void(std::string_view event)> hook) {
  std::lock_guard lock(TheState().mutex);
  TheState().hook = std::move(hook);
}

std::vector<std::string> Events() {
  std::lock_guard lock(TheState().mutex);
  return TheState().events;
}

std::vector<ServiceStatusRecord> Reports() {
  std::lock_guard lock(TheState().mutex);
  return TheState().reports;
}

std::vector<std::string> DebugOutput() {
  std::lock_guard lock(TheState().mutex);
  return TheState().debug_output;
}

std::string ConsoleText() {
  std::lock_guard lock(TheState().mutex);
  return TheState().console_text;
}

std::vector<std::chrono::milliseconds> Sleeps() {
  std::lock_guard lock(TheState().mutex);
  return TheState().sleeps;
}

ServiceHost* DispatchedHost() {
  std::lock_guard lock(TheState().mutex);
  return TheState().dispatched_host;
}

Objects CreatedObjects() {
  std::lock_guard lock(TheState().mutex);
  return TheState().objects;
}

}  // namespace fake_service_host

// --- service/service_platform.h ------------------------------------------------------

namespace fsh = fake_service_host;

DispatcherResult RunServiceDispatcher(ServiceHost* host) {
  DispatcherResult result;
  fsh::Record("dispatcher", [&](fsh::State& state) {
    state.dispatched_host = host;
    result = state.dispatcher_result;
  });
  return result;
}

bool RegisterControlHandler() {
  bool ok = false;
  fsh::Record("register handler", [&](fsh::State& state) { ok = state.register_result; });
  return ok;
}

void ReportServiceStatus(const ServiceStatusRecord& record) {
  fsh::Record(fsh::StateName(record.current_state),
              [&](fsh::State& state) { state.reports.push_back(record); });
}

int StartWinsock() {
  int result = 0;
  fsh::Record("winsock start", [&](fsh::State& state) { result = state.winsock_result; });
  return result;
}

void CleanupWinsock() { fsh::Record("winsock cleanup"); }

void WriteDebugOutput(const std::string& text) {
  fsh::Record("debug output", [&](fsh::State& state) { state.debug_output.push_back(text); });
}

void WriteConsoleText(std::string_view text) {
  fsh::Record("console text", [&](fsh::State& state) { state.console_text.append(text); });
}

void SleepFor(std::chrono::milliseconds duration) {
  fsh::Record("sleep", [&](fsh::State& state) { state.sleeps.push_back(duration); });
  // Not the requested time; only enough that a test stopping the host from another
  // thread does not face a spinning wait loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// --- the three objects ---------------------------------------------------------------

DnsLeakGuard::DnsLeakGuard() {
  fsh::Record("guard created", [&](fsh::State& state) { state.objects.guard = this; });
}

DnsLeakGuard::~DnsLeakGuard() { fsh::Record("guard destroyed"); }

TunnelController::TunnelController(DnsLeakGuard* dns_guard) : dns_guard_(dns_guard) {
  fsh::Record("controller created", [&](fsh::State& state) {
    state.objects.controller = this;
    state.objects.controller_guard_argument = dns_guard;
  });
}

TunnelController::~TunnelController() { fsh::Record("controller destroyed"); }

bool TunnelController::IsRunning() const {
  std::lock_guard lock(fsh::TheState().mutex);
  return fsh::TheState().tunnel_running;
}

OpResult TunnelController::Stop() {
  fsh::Record("controller stop", [](fsh::State& state) { state.tunnel_running = false; });
  return OpResult::Success();
}

ControlPipeServer::ControlPipeServer(TunnelController* controller) : controller_(controller) {
  fsh::Record("pipe created", [&](fsh::State& state) {
    state.objects.pipe = this;
    state.objects.pipe_controller_argument = controller;
  });
}

ControlPipeServer::~ControlPipeServer() { fsh::Record("pipe destroyed"); }

bool ControlPipeServer::Start() {
  fsh::Record("pipe start");
  return true;
}

void ControlPipeServer::Stop() { fsh::Record("pipe stop"); }

}  // namespace brumo
