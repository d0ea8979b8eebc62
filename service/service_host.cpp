#include "service/service_host.h"

#include <exception>
#include <string>

#include <fmt/format.h>

#include "common/platform_thread.h"
#include "service/service_platform.h"

namespace brumo {

ServiceHost::ServiceHost(ServiceSlots* slots) : slots_(slots) {}

void ServiceHost::ServiceMain() noexcept {
  try {
    if (const std::uint32_t error = RegisterControlHandler(); error != 0) {
      // Without a status handle the stopped report cannot be sent, and the dispatcher
      // returns only after it: the process would stay parked for good.
      EndProcess(error);
      return;
    }
    ReportStartPending();
    switch (StartUp()) {
      case StartUpOutcome::kRunning:
        WaitForStopControl();
        ShutDown();
        break;
      case StartUpOutcome::kStopRequested:
        ShutDown();
        break;
      case StartUpOutcome::kFailed:
        break;
    }
  } catch (...) {
    // Out of the guards of start-up and shutdown (a report, the wait for the stop): the
    // state of the objects is unknown, and the exception must not unwind into the SCM's
    // frames. Ending without a stopped report lets the SCM's recovery restart the service.
    EndProcess(kUnhandledExceptionExitCode);
  }
}

void ServiceHost::WaitForStopControl() {
  std::unique_lock lock(status_mutex_);
  stop_control_.wait(lock, [this] { return stop_requested_; });
}

ServiceHost::StartUpOutcome ServiceHost::StartUp() {
  try {
    ReportStartPending();
    if (const int error = StartWinsock(); error != 0) {
      // Nothing to clean up: Winsock did not start.
      ReportStopped(kErrorServiceSpecificError, static_cast<std::uint32_t>(error));
      return StartUpOutcome::kFailed;
    }
    ReportStartPending();
    slots_->guard = std::make_unique<DnsLeakGuard>();
    slots_->controller = std::make_unique<TunnelController>(slots_->guard.get());
    slots_->pipe_server = std::make_unique<ControlPipeServer>(slots_->controller.get());
    ReportStartPending();
    slots_->pipe_server->Start();
    return EnterRunning() ? StartUpOutcome::kRunning : StartUpOutcome::kStopRequested;
  } catch (const std::exception& e) {
    ReportStartUpFailure(e.what());
  } catch (...) {
    ReportStartUpFailure(nullptr);
  }
  // Whatever is in the slots stays there; none of it has a thread running.
  CleanupWinsock();
  ReportStopped(kErrorServiceSpecificError, kStartUpExceptionCode);
  return StartUpOutcome::kFailed;
}

void ServiceHost::ReportStartUpFailure(const char* what) noexcept {
  try {
    if (what != nullptr) {
      WriteDebugOutput(fmt::format("[BrumoVPN] Exception during startup: {}\n", what));
    } else {
      WriteDebugOutput("[BrumoVPN] Unknown exception during startup\n");
    }
  } catch (...) {
    // Out of memory for the line: the stopped report with 1066 still says the start failed.
  }
}

bool ServiceHost::EnterRunning() {
  std::lock_guard lock(status_mutex_);
  // A stop that came during start-up has been reported as stop-pending already; running
  // now would undo it and leave the service up until a second stop.
  if (stop_requested_) return false;
  status_.current_state = kServiceRunning;
  status_.controls_accepted = kServiceAcceptStop;
  status_.win32_exit_code = 0;
  status_.check_point = 0;
  status_.wait_hint = 0;
  ReportServiceStatus(status_);
  return true;
}

void ServiceHost::ShutDown() {
  try {
    // A shutdown may outlast the wait hint (a "start" in flight finishes first, a tunnel is
    // joined): the SCM hears stop-pending again, with an advancing checkpoint, until the end.
    StopPendingReporter reporter(this);
    // The pipe server goes first: while it serves, a client's "start" could bring the
    // tunnel back after it was stopped. Its Stop still finishes a command being processed
    // and lets the client take the reply; after it nothing can start the tunnel again.
    if (slots_->pipe_server) {
      slots_->pipe_server->Stop();
      slots_->pipe_server.reset();
    }
    // Then the tunnel, also one that the last command started: worker and filters go
    // before the controller does.
    if (slots_->controller && slots_->controller->IsRunning()) {
      static_cast<void>(slots_->controller->Stop());
    }
    slots_->controller.reset();
    // The guard stays in its slot until process exit.
  } catch (...) {
    // Nothing may keep the stopped report from the SCM; objects left in their slots go at
    // process exit.
  }
  CleanupWinsock();
  ReportStopped(0, 0);
}

ServiceHost::StopPendingReporter::StopPendingReporter(ServiceHost* host)
    : host_(host), started_ns_(MonotonicNowNs()) {
  try {
    thread_ = LaunchThread([this] { Run(); });
  } catch (...) {
    // Without a thread there are no repeated reports and no bound; the shutdown itself
    // goes on.
  }
}

ServiceHost::StopPendingReporter::~StopPendingReporter() {
  {
    std::lock_guard lock(host_->status_mutex_);
    done_ = true;
  }
  host_->stop_control_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ServiceHost::StopPendingReporter::Run() {
  std::unique_lock lock(host_->status_mutex_);
  const std::int64_t limit_ns = std::chrono::nanoseconds(kShutdownLimit).count();
  while (
      !host_->stop_control_.wait_for(lock, kStopPendingReportInterval, [this] { return done_; })) {
    if (MonotonicNowNs() - started_ns_ >= limit_ns) {
      // The shutdown hangs, most likely in the tunnel's stop, which waits for the library's
      // run call without bound. Only the end of the process ends it; the stopped report
      // comes first, with the lock held to the end, so that no other report follows it.
      host_->ReportStoppedLocked(kErrorServiceSpecificError, kShutdownTimeoutCode);
      EndProcess(kErrorServiceSpecificError);
      return;
    }
    if (host_->status_.current_state != kServiceStopPending) continue;
    ++host_->status_.check_point;
    ReportServiceStatus(host_->status_);
  }
}

void ServiceHost::HandleControl(std::uint32_t control) noexcept {
  try {
    switch (control) {
      case kServiceControlStop: {
        std::lock_guard lock(status_mutex_);
        // After the final report a stop-pending would stay with the SCM for good.
        if (status_.current_state == kServiceStopped) return;
        stop_requested_ = true;
        status_.current_state = kServiceStopPending;
        status_.controls_accepted = kServiceAcceptStop;
        status_.win32_exit_code = 0;
        status_.wait_hint = kStopWaitHintMs;
        ++status_.check_point;
        // Reported before the service main is woken, so the SCM never sees a silent gap
        // before its stopped report.
        ReportServiceStatus(status_);
        stop_control_.notify_all();
        return;
      }
      case kServiceControlInterrogate: {
        std::lock_guard lock(status_mutex_);
        // After the final report the status handle must not be used again.
        if (status_.current_state == kServiceStopped) return;
        ReportServiceStatus(status_);
        return;
      }
      default:
        return;
    }
  } catch (...) {
    // The handler runs on the dispatcher's thread, inside the SCM's frames.
    EndProcess(kUnhandledExceptionExitCode);
  }
}

ServiceStatusRecord ServiceHost::status() const {
  std::lock_guard lock(status_mutex_);
  return status_;
}

void ServiceHost::ReportStartPending() {
  std::lock_guard lock(status_mutex_);
  // Once stop-pending is reported the state must not go back to start-pending.
  if (stop_requested_) return;
  status_.current_state = kServiceStartPending;
  // No control can be honoured before the objects exist and the wait for the stop begins.
  status_.controls_accepted = 0;
  status_.win32_exit_code = 0;
  status_.wait_hint = kStartWaitHintMs;
  ++status_.check_point;
  ReportServiceStatus(status_);
}

void ServiceHost::ReportStopped(std::uint32_t win32_exit_code, std::uint32_t specific_code) {
  std::lock_guard lock(status_mutex_);
  ReportStoppedLocked(win32_exit_code, specific_code);
}

void ServiceHost::ReportStoppedLocked(std::uint32_t win32_exit_code, std::uint32_t specific_code) {
  status_.current_state = kServiceStopped;
  // The field names the controls the service "accepts and processes in its handler
  // function" (SERVICE_STATUS); once stopped it processes none.
  status_.controls_accepted = 0;
  status_.win32_exit_code = win32_exit_code;
  status_.service_specific_exit_code = specific_code;
  status_.check_point = 0;
  status_.wait_hint = 0;
  ReportServiceStatus(status_);
}

std::string ConsoleHelpText(std::string_view program_path) {
  return fmt::format(
      "BrumoVPN Service\n"
      "================\n"
      "This executable is designed to run as a Windows Service.\n\n"
      "To install: sc create BrumoVPN binPath= \"{}\"\n"
      "To start:   sc start BrumoVPN\n"
      "To stop:    sc stop BrumoVPN\n"
      "To delete:  sc delete BrumoVPN\n\n"
      "Library functions linked successfully.\n",
      program_path);
}

int RunServiceProcess(ServiceHost* host, std::string_view program_path) noexcept {
  try {
    const DispatcherResult result = RunServiceDispatcher(host);
    if (result.ok) return 0;
    if (result.error == kErrorFailedServiceControllerConnect) {
      WriteConsoleText(ConsoleHelpText(program_path));
      return 0;
    }
    return static_cast<int>(result.error);
  } catch (...) {
    // Out of memory for the console text: main returns this, and the process ends with it.
    return static_cast<int>(kUnhandledExceptionExitCode);
  }
}

}  // namespace brumo
