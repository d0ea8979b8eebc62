#include "tunnel/tunnel_controller.h"

#include <memory>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "common/platform_thread.h"
#include "common/scope_exit.h"
#include "dnsguard/dns_leak_guard.h"
#include "tunnel/tun2proxy.h"

namespace brumo {
namespace {

constexpr std::string_view kAlreadyRunningMessage = "VPN already running";
constexpr std::string_view kStillStoppingMessage =
    "previous instance still stopping - call stop() first";
constexpr std::string_view kExitedPrematurelyMessage = "tun2proxy thread exited prematurely";

// The library takes the bypass range as a C string; the view's literal is NUL-terminated.
static_assert(kBypassCidr.data()[kBypassCidr.size()] == '\0');

OpResult Failure(std::string_view message) { return OpResult::Failure(std::string(message)); }

}  // namespace

TunnelController::TunnelController(DnsLeakGuard* dns_guard) : dns_guard_(dns_guard) {}

TunnelController::~TunnelController() { Stop(); }

OpResult TunnelController::Start() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (running_.load()) return Failure(kAlreadyRunningMessage);

  OpResult launched = LaunchWorker();
  if (!launched.ok) return launched;

  // The guard's enable may wait seconds for the device, so it runs without mutex_. The
  // mark keeps a Stop from another thread out of worker_ and the guard meanwhile, and a
  // second Start from launching.
  transition_ = true;
  ScopeExit end_transition([&] { EndTransition(lock); });
  lock.unlock();
  OpResult enabled;
  try {
    enabled = dns_guard_->Enable(kTunnelDeviceName);
  } catch (...) {
    // Out of memory inside the guard: its filters cannot be counted on, so the tunnel goes
    // down as after a failed enable before the error goes up. Left running, it would leak
    // DNS while "active" said it runs.
    lock.lock();
    StopWorker();
    throw;
  }
  lock.lock();
  if (!enabled.ok) {
    // A tunnel without its filters would leak DNS: take it down again.
    StopWorker();
    return enabled;
  }
  // The run call may have returned while the guard was enabled: the filters then name an
  // adapter that is gone, and "start" must not report a tunnel that "active" already
  // reports down.
  if (!running_.load()) {
    StopWorker();
    return Failure(kExitedPrematurelyMessage);
  }
  return OpResult::Success();
}

OpResult TunnelController::Stop() {
  std::unique_lock<std::mutex> lock(mutex_);
  // A Start in its guard phase or another Stop in its stop sequence finishes first; what
  // it leaves running (a started tunnel) is then stopped here, and nothing is done twice.
  transition_done_.wait(lock, [this] { return !transition_; });
  if (!running_.load() && !worker_.joinable()) return OpResult::Success();

  transition_ = true;
  ScopeExit end_transition([&] { EndTransition(lock); });
  lock.unlock();
  OpResult stopped = StopWorker();
  lock.lock();
  return stopped;
}

bool TunnelController::IsRunning() const { return running_.load(); }

TunnelStatus TunnelController::GetStatus() const { return TunnelStatus{running_.load()}; }

OpResult TunnelController::LaunchWorker() {
  // Every launch attempt, also one refused below, leaves the library without a log
  // callback: nothing of ours may be called from the library's threads.
  tun2proxy_set_log_callback(nullptr, nullptr);
  // transition_ first: while it is set, a Stop may be joining worker_ without mutex_, so
  // worker_ must not even be read.
  if (transition_ || worker_.joinable()) return Failure(kStillStoppingMessage);

  // Set before the thread exists: set after, it could overwrite the clear of a run call
  // that returned at once, leaving the flag set with no worker behind it.
  running_.store(true);
  try {
    // Shared, since the thread's body must be copyable.
    auto ended = std::make_shared<std::promise<void>>();
    std::future<void> ended_future = ended->get_future();
    worker_ = LaunchThread([this, ended] {
      WorkerMain();
      ended->set_value();
    });
    worker_ended_ = std::move(ended_future);
  } catch (...) {
    // No worker exists that would clear the flag.
    running_.store(false);
    throw;
  }

  // One sleep and one check: a run call that fails on start-up returns well within it.
  SleepFor(kLaunchCheckDelay);
  if (running_.load()) return OpResult::Success();

  JoinWorker();
  // A run call that fails early may leave its quit registration behind, and every later
  // run call then returns at once; only a stop clears it. With nothing registered the stop
  // does nothing (it returns non-zero).
  tun2proxy_stop();
  return Failure(kExitedPrematurelyMessage);
}

OpResult TunnelController::StopWorker() {
  // The result is not examined: whether the tunnel was still up or had ended by itself,
  // the stop is repeated until the worker's run call has returned. The library cancels
  // only a run that has registered itself, which a run just launched may not have done.
  tun2proxy_stop();
  if (worker_ended_.valid()) {
    while (!WaitForReady(worker_ended_, kStopRepeatInterval)) tun2proxy_stop();
  }
  JoinWorker();
  // Only after the join: the filters stay until the tunnel is gone.
  dns_guard_->Disable();
  return OpResult::Success();
}

void TunnelController::WorkerMain() {
  try {
    // The worker owns both strings until the run call has returned.
    const std::string proxy_url = fmt::format("socks5://127.0.0.1:{}", kProxyPort);
    const std::string device(kTunnelDeviceName);
    tun2proxy_with_name_run(proxy_url.c_str(), device.c_str(), kBypassCidr.data(),
                            TUN2PROXY_DNS_DIRECT, false, TUN2PROXY_VERBOSITY_OFF);
  } catch (...) {
    // Only the strings can throw (out of memory); the tunnel never ran, and the launch
    // check reports it as ended.
  }
  running_.store(false);
}

void TunnelController::JoinWorker() {
  if (worker_.joinable()) worker_.join();
  worker_ended_ = std::future<void>();
}

void TunnelController::EndTransition(std::unique_lock<std::mutex>& lock) {
  if (!lock.owns_lock()) lock.lock();
  transition_ = false;
  transition_done_.notify_all();
}

}  // namespace brumo
