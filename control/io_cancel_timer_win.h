// Bounds a synchronous call on the pipe: the flush, the one call on a client that cannot be
// made overlapped (it returns only once the client has read the whole reply). One
// re-armable timer of the thread pool's timer queue per endpoint cancels the arming
// thread's synchronous I/O once a time-out has passed or an event is set. While clients
// keep coming it ticks every 50 ms; the first tick that finds it disarmed puts it to rest.
// Made once: creating and deleting a timer per flush would cost more than the exchange
// (a deletion waits for the timer's thread).
#pragma once

#include <windows.h>

#include <chrono>
#include <mutex>

#include "common/scoped_resource_win.h"

namespace brumo::pipe {

class IoCancelTimer {
 public:
  enum class Cause { kNone, kTimedOut, kSignalled };

  IoCancelTimer() noexcept = default;
  // Returns once a running tick has finished.
  ~IoCancelTimer();
  IoCancelTimer(const IoCancelTimer&) = delete;
  IoCancelTimer& operator=(const IoCancelTimer&) = delete;

  // Arms the timer for one call on the calling thread, to be cancelled once `timeout` has
  // passed, or once `event` (may be null) is set. False when the thread's handle or the
  // timer cannot be had: the call must then not be made. Each Arm tries again what failed.
  [[nodiscard]] bool Arm(std::chrono::milliseconds timeout, HANDLE event) noexcept;
  // Disarms the timer and says what made it cancel the call, if anything. Once it has
  // returned, no cancel reaches the thread (such as its next call, which may be another
  // client's).
  Cause Disarm() noexcept;

 private:
  static void CALLBACK Tick(void* context, BOOLEAN timer_fired);
  void Check() noexcept;

  std::mutex lock_;
  // Under lock_ (set by the arming thread, read by the ticks):
  ScopedHandle thread_;
  HANDLE timer_ = nullptr;
  bool ticking_ = false;
  bool armed_ = false;
  Cause cause_ = Cause::kNone;
  std::chrono::steady_clock::time_point deadline_;
  HANDLE event_ = nullptr;
};

}  // namespace brumo::pipe
