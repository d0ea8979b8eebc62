// The tunnel controller: owns the tun2proxy worker thread, reports whether the tunnel
// runs, and ties the DNS leak guard to the tunnel's life.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string_view>
#include <thread>

#include "common/op_result.h"

namespace brumo {

class DnsLeakGuard;

inline constexpr std::string_view kTunnelDeviceName = "brumotun";
inline constexpr int kProxyPort = 12735;
inline constexpr std::string_view kBypassCidr = "10.255.255.255/32";
inline constexpr std::chrono::milliseconds kLaunchCheckDelay{500};
// How often the stop sequence repeats tun2proxy_stop while the worker has not ended: the
// library cancels only a run that has already registered itself, and a run that
// registers after the first stop would otherwise never end.
inline constexpr std::chrono::milliseconds kStopRepeatInterval{100};

struct TunnelStatus {
  bool running = false;
};

// Start, Stop, IsRunning and GetStatus may be called from any thread, also at the same
// time; the destructor must not overlap any of them.
class TunnelController {
 public:
  // `dns_guard` is not owned; it must exist whenever a stop can reach it.
  explicit TunnelController(DnsLeakGuard* dns_guard);
  // Runs Stop: a running tunnel is stopped and its filters removed before this returns.
  ~TunnelController();

  TunnelController(const TunnelController&) = delete;
  TunnelController& operator=(const TunnelController&) = delete;

  // Launches the worker, checks after kLaunchCheckDelay that it still runs, then enables
  // the DNS leak guard, and succeeds only if the tunnel still runs once the filters are in
  // place (a tunnel that ended meanwhile is stopped again and reported as
  // "tun2proxy thread exited prematurely"). Throws std::system_error when the worker
  // cannot be created; the controller is then idle again. Refuses at once, changing
  // nothing, while a tunnel runs ("VPN already running") or while an earlier worker, or a
  // stop sequence run by another thread, has not finished ("previous instance still
  // stopping - call stop() first").
  OpResult Start();
  // Stops the worker and disables the guard. Always succeeds. When another thread is in a
  // Start's guard phase or in a stop sequence, waits until it has finished and then stops
  // what is still left to stop (often nothing).
  OpResult Stop();
  // Lock-free reads of the running flag.
  bool IsRunning() const;
  TunnelStatus GetStatus() const;

 private:
  OpResult LaunchWorker();
  OpResult StopWorker();
  void WorkerMain();
  // Joins the worker, if any, and forgets its end mark.
  void JoinWorker();
  // Clears transition_ and wakes the waiting Stops; takes `lock` back first if needed.
  void EndTransition(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::atomic<bool> running_{false};
  std::thread worker_;
  DnsLeakGuard* dns_guard_;

  // Ready once the worker's run call has returned; lets the stop sequence repeat its stop
  // call until then. Valid while worker_ holds a thread; used by whoever may touch worker_.
  std::future<void> worker_ended_;

  // Set, under mutex_, while one thread has worker_ and the guard to itself: from the end
  // of a Start's launch through its guard enable (and, if that fails, its stop sequence),
  // and across the stop sequence that Stop runs with mutex_ released. No other thread
  // touches worker_ or the guard until it is cleared. Stop waits on transition_done_ until
  // it is clear, so the worker is joined once and the guard never holds two threads;
  // Start does not wait but refuses. Guarded by mutex_.
  bool transition_ = false;
  std::condition_variable transition_done_;
};

}  // namespace brumo
