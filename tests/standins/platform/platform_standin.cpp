// Link-time stand-in for common/platform_thread.h; see platform_standin.h.
#include "tests/standins/platform/platform_standin.h"

#include <atomic>
#include <future>
#include <system_error>

#include "common/platform_thread.h"
#include "tests/standins/guarded.h"

namespace brumo {
namespace platform_standin {
namespace {

struct State {
  bool fail_next = false;
  bool run_next_to_end = false;
  int launch_calls = 0;
  std::vector<std::chrono::milliseconds> sleeps;
  std::vector<std::chrono::milliseconds> waits;
  std::function<void(std::chrono::milliseconds)> sleep_hook;
};

auto& The() { return standins::TheState<State>(); }

std::atomic<bool> g_virtual{false};
// Starts far from 0, so that a reading taken as a duration shows.
std::atomic<std::int64_t> g_virtual_now_ns{1'000'000'000'000};

}  // namespace

void Reset() {
  g_virtual.store(false);
  The()([](State& s) { s = State(); });
}

void FailNextLaunch() { The().Set(&State::fail_next, true); }
void RunNextLaunchToEnd() { The().Set(&State::run_next_to_end, true); }
int LaunchCalls() { return The().Get(&State::launch_calls); }
void UseVirtualClock(bool on) { g_virtual.store(on); }
std::vector<std::chrono::milliseconds> Sleeps() { return The().Get(&State::sleeps); }
std::vector<std::chrono::milliseconds> Waits() { return The().Get(&State::waits); }
void SetSleepHook(std::function<void(std::chrono::milliseconds)> hook) {
  The().Set(&State::sleep_hook, std::move(hook));
}

const standins::ResetWhenLinked registered(&Reset);

}  // namespace platform_standin

namespace standin = platform_standin;

std::thread LaunchThread(std::function<void()> body) {
  bool to_end = false;
  if (standin::The()([&](standin::State& s) {
        ++s.launch_calls;
        to_end = std::exchange(s.run_next_to_end, false);
        return std::exchange(s.fail_next, false);
      })) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  if (!to_end) return std::thread(std::move(body));
  std::packaged_task<void()> task(std::move(body));
  std::future<void> ended = task.get_future();
  std::thread thread(std::move(task));
  ended.wait();
  return thread;
}

std::int64_t MonotonicNowNs() {
  if (standin::g_virtual.load()) return standin::g_virtual_now_ns.load();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepFor(std::chrono::milliseconds duration) {
  standins::UpdateThenHook<standin::State>(
      [&](standin::State& s) {
        s.sleeps.push_back(duration);
        return s.sleep_hook;
      },
      duration);
  if (!standin::g_virtual.load()) return std::this_thread::sleep_for(duration);
  standin::g_virtual_now_ns += std::chrono::nanoseconds(duration).count();
  // Other threads still get to run, as they would during a real pause.
  std::this_thread::yield();
}

bool WaitForReady(const std::future<void>& done, std::chrono::milliseconds timeout) {
  standin::The()([&](standin::State& s) { s.waits.push_back(timeout); });
  const bool virtual_clock = standin::g_virtual.load();
  if (done.wait_for(virtual_clock ? standin::kVirtualWaitLimit : timeout) ==
      std::future_status::ready) {
    return true;
  }
  if (virtual_clock) standin::g_virtual_now_ns += std::chrono::nanoseconds(timeout).count();
  return false;
}

}  // namespace brumo
