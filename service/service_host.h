// The service host: process entry, service main and control handler of "BrumoVPN".
//
// It creates the three long-lived objects in the order guard, controller, pipe server,
// reports every state change to the Service Control Manager and tears the objects down
// again when asked to stop. All of it is platform-free; the SCM, Winsock and debugger
// output are reached through service/service_platform.h.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "control/control_pipe_server.h"
#include "dnsguard/dns_leak_guard.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {

// Values of the platform's service constants (winsvc.h, winerror.h).
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr std::uint32_t kErrorServiceSpecificError = 1066;
// The service-specific code of a start-up ended by an exception (a failed Winsock start
// reports Winsock's own error instead).
inline constexpr std::uint32_t kStartUpExceptionCode = 1;
// The service-specific code of a shutdown that did not finish within kShutdownLimit.
inline constexpr std::uint32_t kShutdownTimeoutCode = 2;
// The exit code of a process ended because an exception reached one of the entry points
// the system calls (ERROR_UNHANDLED_EXCEPTION of winerror.h, which mingw-w64 lacks). The
// process ends without a stopped report, so the SCM counts it as a failure and its
// recovery actions apply; the code tells our catch apart from a crash or an abort.
inline constexpr std::uint32_t kUnhandledExceptionExitCode = 574;

inline constexpr std::uint32_t kStartWaitHintMs = 10000;
inline constexpr std::uint32_t kStopWaitHintMs = 5000;
// While a shutdown lasts, stop-pending is reported again this often, each time with the
// next checkpoint, well inside kStopWaitHintMs.
inline constexpr std::chrono::milliseconds kStopPendingReportInterval{1000};
// A shutdown still under way this long after it began is taken for hung: stopped is
// reported with kErrorServiceSpecificError and kShutdownTimeoutCode, and the process ends
// (the filters go with it: their engine session is dynamic). The longest shutdown that is
// not a hang is a "start" being processed, which finishes first (up to about 4.5 s: the
// launch check and the wait for the adapter), its client's 500 ms to take the reply, then
// the tunnel's stop, in which the library undoes its routes and DNS setting on Windows by
// running commands as child processes (seconds on a loaded machine), and the filters'
// removal: well under 10 s. 15 s leaves room for a slow machine and still ends a hang long
// before an installer gives up waiting for the process (msi-helper waits 60 s).
inline constexpr std::chrono::seconds kShutdownLimit{15};
inline constexpr std::uint16_t kWinsockVersion = 0x0202;

// The status record passed to every report, field for field the platform's SERVICE_STATUS.
struct ServiceStatusRecord {
  std::uint32_t service_type = kServiceWin32OwnProcess;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;

  bool operator==(const ServiceStatusRecord&) const = default;
};
static_assert(sizeof(ServiceStatusRecord) == 7 * sizeof(std::uint32_t));

// The process-wide owning slots of the three long-lived objects. Members are destroyed in
// the reverse order of their declaration, so whatever the slots still hold when their
// owner goes (at process exit) goes pipe server, controller, guard: nothing outlives an
// object it points to.
struct ServiceSlots {
  std::unique_ptr<DnsLeakGuard> guard;
  std::unique_ptr<TunnelController> controller;
  std::unique_ptr<ControlPipeServer> pipe_server;
};

class ServiceHost {
 public:
  // `slots` is not owned and must outlive the host; the host fills and empties it only
  // on the service main's thread.
  explicit ServiceHost(ServiceSlots* slots);

  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // The service main. Registers the control handler, starts up, waits for the stop
  // control and shuts down; returns once it has reported stopped. When the handler cannot
  // be registered nothing can be reported: it ends the process with the registration's
  // error. Runs on the thread the SCM starts for it; call at most once per host. A failed
  // start-up ends in a stopped report with exit code 1066 and a non-zero specific code,
  // exceptions of the shutdown in a stopped report with 0, a shutdown that outlasts
  // kShutdownLimit in a stopped report with 1066 and kShutdownTimeoutCode and the end of
  // the process. Any other exception ends the process with kUnhandledExceptionExitCode:
  // none unwinds into the SCM's frames.
  void ServiceMain() noexcept;

  // The control handler: stop and interrogate are acted on until stopped is reported,
  // every other code is ignored. Runs on the dispatcher thread, concurrently with
  // ServiceMain. An exception ends the process with kUnhandledExceptionExitCode.
  void HandleControl(std::uint32_t control) noexcept;

  // A copy of the status record as last set. Any thread.
  ServiceStatusRecord status() const;

 private:
  enum class StartUpOutcome { kRunning, kStopRequested, kFailed };

  // Reports stop-pending every kStopPendingReportInterval, with the next checkpoint each
  // time, from a thread of its own for as long as it exists. Once kShutdownLimit has
  // passed on the platform's monotonic clock since it was made, it reports stopped with
  // kShutdownTimeoutCode instead and ends the process.
  class StopPendingReporter {
   public:
    explicit StopPendingReporter(ServiceHost* host);
    ~StopPendingReporter();
    StopPendingReporter(const StopPendingReporter&) = delete;
    StopPendingReporter& operator=(const StopPendingReporter&) = delete;

   private:
    void Run();
    ServiceHost* host_;
    std::int64_t started_ns_;
    bool done_ = false;  // under host_->status_mutex_
    std::thread thread_;
  };

  StartUpOutcome StartUp();
  void ReportStartUpFailure(const char* what) noexcept;
  bool EnterRunning();
  void WaitForStopControl();
  void ShutDown();
  void ReportStartPending();
  void ReportStopped(std::uint32_t win32_exit_code, std::uint32_t specific_code);
  // The same with status_mutex_ held.
  void ReportStoppedLocked(std::uint32_t win32_exit_code, std::uint32_t specific_code);

  ServiceSlots* slots_;

  // The record, the early-stop mark and every report are kept under one lock, so the
  // handler's stop-pending and the service main's reports reach the SCM in the order in
  // which the record changed, and a stop that comes during start-up is never undone by
  // the running report.
  mutable std::mutex status_mutex_;
  ServiceStatusRecord status_;
  bool stop_requested_ = false;
  // Signalled with stop_requested_: wakes the service main at once.
  std::condition_variable stop_control_;
};

// The text printed when the executable is started from a console instead of by the SCM;
// `program_path` is argv[0].
std::string ConsoleHelpText(std::string_view program_path);

// The process entry: hands the process to the SCM dispatcher and returns the exit status:
// 0 after the service has run, 0 after printing ConsoleHelpText when there is no SCM to
// connect to, the dispatcher's error code for any other failure, and
// kUnhandledExceptionExitCode when an exception reaches it.
int RunServiceProcess(ServiceHost* host, std::string_view program_path) noexcept;

}  // namespace brumo
