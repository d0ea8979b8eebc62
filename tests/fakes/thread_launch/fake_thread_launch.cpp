// Link-time stand-in for tunnel/thread_launch.h; see fake_thread_launch.h.
#include "tests/fakes/thread_launch/fake_thread_launch.h"

#include <atomic>
#include <system_error>
#include <utility>

#include "tunnel/thread_launch.h"

namespace brumo {
namespace fake_thread_launch {
namespace {

std::atomic<bool> g_fail_next{false};
std::atomic<int> g_launch_calls{0};

}  // namespace

void FailNextLaunch() { g_fail_next.store(true); }
int LaunchCalls() { return g_launch_calls.load(); }
void Reset() {
  g_fail_next.store(false);
  g_launch_calls.store(0);
}

}  // namespace fake_thread_launch

std::thread LaunchThread(std::function<void()> body) {
  ++fake_thread_launch::g_launch_calls;
  if (fake_thread_launch::g_fail_next.exchange(false)) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  return std::thread(std::move(body));
}

}  // namespace brumo
