// Link-time stand-in for DnsLeakGuard; see fake_dns_guard.h.
#include "tests/fakes/dns_guard/fake_dns_guard.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "dnsguard/dns_leak_guard.h"

namespace brumo {
namespace fake_dns_guard {
namespace {

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  OpResult enable_result = OpResult::Success();
  std::chrono::milliseconds enable_delay{0};
  std::function<void()> enable_hook;
  std::function<void()> disable_hook;
  int enable_calls = 0;
  int disable_calls = 0;
  std::vector<std::string> aliases;
  std::vector<std::string> calls;
  bool enabled = false;
  int inside = 0;
  int max_inside = 0;
};

State& TheState() {
  static State state;
  return state;
}

// Counts the calling thread as inside the guard for its lifetime.
class Inside {
 public:
  explicit Inside(State& state) : state_(state) {
    std::lock_guard<std::mutex> lock(state_.mutex);
    ++state_.inside;
    state_.max_inside = std::max(state_.max_inside, state_.inside);
  }
  ~Inside() {
    std::lock_guard<std::mutex> lock(state_.mutex);
    --state_.inside;
  }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;

 private:
  State& state_;
};

}  // namespace

void Reset() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.enable_result = OpResult::Success();
  state.enable_delay = std::chrono::milliseconds(0);
  state.enable_hook = nullptr;
  state.disable_hook = nullptr;
  state.enable_calls = 0;
  state.disable_calls = 0;
  state.aliases.clear();
  state.calls.clear();
  state.enabled = false;
  state.max_inside = state.inside;
}

void SetEnableResult(OpResult result) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.enable_result = std::move(result);
}

void SetEnableDelay(std::chrono::milliseconds delay) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.enable_delay = delay;
}

void SetEnableHook(std::function<void()> hook) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.enable_hook = std::move(hook);
}

void SetDisableHook(std::function<void()> hook) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.disable_hook = std::move(hook);
}

int EnableCalls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.enable_calls;
}

int DisableCalls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.disable_calls;
}

std::vector<std::string> EnableAliases() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.aliases;
}

std::vector<std::string> CallOrder() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.calls;
}

bool IsEnabled() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.enabled;
}

int MaxThreadsInside() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.max_inside;
}

bool WaitForEnableCalls(int count, std::chrono::milliseconds timeout) {
  State& state = TheState();
  std::unique_lock<std::mutex> lock(state.mutex);
  return state.changed.wait_for(lock, timeout, [&] { return state.enable_calls >= count; });
}

bool WaitForDisableCalls(int count, std::chrono::milliseconds timeout) {
  State& state = TheState();
  std::unique_lock<std::mutex> lock(state.mutex);
  return state.changed.wait_for(lock, timeout, [&] { return state.disable_calls >= count; });
}

}  // namespace fake_dns_guard

using fake_dns_guard::TheState;

DnsLeakGuard::DnsLeakGuard() = default;

DnsLeakGuard::~DnsLeakGuard() { fake_dns_guard::Inside inside(TheState()); }

OpResult DnsLeakGuard::Enable(std::string_view alias) {
  auto& state = TheState();
  fake_dns_guard::Inside inside(state);
  std::chrono::milliseconds delay;
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    ++state.enable_calls;
    state.aliases.emplace_back(alias);
    state.calls.push_back("enable");
    delay = state.enable_delay;
    hook = state.enable_hook;
    state.changed.notify_all();
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  if (hook) hook();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.enable_result.ok) state.enabled = true;
  return state.enable_result;
}

OpResult DnsLeakGuard::Disable() {
  auto& state = TheState();
  fake_dns_guard::Inside inside(state);
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    ++state.disable_calls;
    state.calls.push_back("disable");
    hook = state.disable_hook;
    state.changed.notify_all();
  }
  if (hook) hook();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.enabled = false;
  return OpResult::Success();
}

}  // namespace brumo
