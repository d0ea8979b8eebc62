// The tunnel controller: owns the tun2proxy worker thread, reports whether the tunnel
// runs, and ties the DNS leak guard to the tunnel's life.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string_view>
#include <thread>

#include "tunnel/op_result.h"

namespace brumo {

class DnsLeakGuard;

inline constexpr std::string_view kTunnelDeviceName = "brumotun";
inline constexpr int kProxyPort = 12735;
inline constexpr std::string_view kBypassCidr = "10.255.255.255/32";
inline constexpr std::chrono::milliseconds kLaunchCheckDelay{500};

class TunnelController {
 public:
  // `dns_guard` is not owned; it must exist whenever a stop can reach it.
  explicit TunnelController(DnsLeakGuard* dns_guard);
  // Runs Stop: a running tunnel is stopped and its filters removed before this returns.
  ~TunnelController();

  TunnelController(const TunnelController&) = delete;
  TunnelController& operator=(const TunnelController&) = delete;

  // Launches the worker, checks after kLaunchCheckDelay that it still runs, then enables
  // the DNS leak guard. Throws std::system_error when the worker cannot be created.
  OpResult Start();
  // Stops the worker and disables the guard. Always succeeds.
  OpResult Stop();
  // Lock-free reads of the running flag.
  bool IsRunning() const;
  TunnelStatus GetStatus() const;

 private:
  OpResult LaunchWorker();
  OpResult StopWorker();
  void WorkerMain();

  std::mutex mutex_;
  std::atomic<bool> running_{false};
  std::thread worker_;
  DnsLeakGuard* dns_guard_;
};

}  // namespace brumo
