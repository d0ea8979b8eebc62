// Link-time stand-in for common/platform_thread.h; see platform_standin.h.
#include "tests/standins/platform/platform_standin.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <utility>

#include "common/platform_thread.h"

namespace brumo {
namespace platform_standin {
namespace {

std::atomic<bool> g_fail_next{false};
std::atomic<int> g_launch_calls{0};
std::atomic<bool> g_virtual{false};
// Starts far from 0, so that a reading taken as a duration shows.
std::atomic<std::int64_t> g_virtual_now_ns{1'000'000'000'000};
std::mutex g_sleeps_mutex;
std::vector<std::chrono::milliseconds> g_sleeps;
std::function<void(std::chrono::milliseconds)> g_sleep_hook;

}  // namespace

void Reset() {
  g_fail_next.store(false);
  g_launch_calls.store(0);
  g_virtual.store(false);
  std::lock_guard<std::mutex> lock(g_sleeps_mutex);
  g_sleeps.clear();
  g_sleep_hook = nullptr;
}

void FailNextLaunch() { g_fail_next.store(true); }
int LaunchCalls() { return g_launch_calls.load(); }
void UseVirtualClock(bool on) { g_virtual.store(on); }

std::vector<std::chrono::milliseconds> Sleeps() {
  std::lock_guard<std::mutex> lock(g_sleeps_mutex);
  return g_sleeps;
}

void SetSleepHook(std::function<void(std::chrono::milliseconds)> hook) {
  std::lock_guard<std::mutex> lock(g_sleeps_mutex);
  g_sleep_hook = std::move(hook);
}

}  // namespace platform_standin

namespace standin = platform_standin;

std::thread LaunchThread(std::function<void()> body) {
  ++standin::g_launch_calls;
  if (standin::g_fail_next.exchange(false)) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  return std::thread(std::move(body));
}

std::int64_t MonotonicNowNs() {
  if (standin::g_virtual.load()) return standin::g_virtual_now_ns.load();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepFor(std::chrono::milliseconds duration) {
  std::function<void(std::chrono::milliseconds)> hook;
  {
    std::lock_guard<std::mutex> lock(standin::g_sleeps_mutex);
    standin::g_sleeps.push_back(duration);
    hook = standin::g_sleep_hook;
  }
  if (hook) hook(duration);
  if (!standin::g_virtual.load()) {
    std::this_thread::sleep_for(duration);
    return;
  }
  standin::g_virtual_now_ns += std::chrono::nanoseconds(duration).count();
  // Other threads still get to run, as they would during a real pause.
  std::this_thread::yield();
}

}  // namespace brumo
