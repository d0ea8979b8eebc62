#include "common/platform_thread.h"

#include <utility>

namespace brumo {

std::thread LaunchThread(std::function<void()> body) { return std::thread(std::move(body)); }

std::int64_t MonotonicNowNs() {
  return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count());
}

void SleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

bool WaitForReady(const std::future<void>& done, std::chrono::milliseconds timeout) {
  return done.wait_for(timeout) == std::future_status::ready;
}

}  // namespace brumo
