// Link-time stand-in for control/pipe_platform.h; see pipe_standin.h.
#include "tests/standins/pipe/pipe_standin.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "control/pipe_platform.h"
#include "tests/standins/guarded.h"

namespace brumo {
namespace pipe_standin {
namespace {

struct State {
  std::function<void(std::string_view)> hook;
};

void RunHook(std::string_view call) {
  standins::UpdateThenHook<State>([](State& s) { return s.hook; }, call);
}

}  // namespace

void Reset() { SetHook(nullptr); }
void SetHook(std::function<void(std::string_view)> hook) {
  standins::TheState<State>().Set(&State::hook, std::move(hook));
}

}  // namespace pipe_standin

namespace pipe {

struct Endpoint {
  std::mutex mutex;
  std::condition_variable stopped_changed;
  bool stopped = false;
};

void EndpointDeleter::operator()(Endpoint* endpoint) const noexcept { delete endpoint; }

EndpointPtr OpenEndpoint() {
  pipe_standin::RunHook("OpenEndpoint");
  return EndpointPtr(new Endpoint);
}

void SignalStop(Endpoint& endpoint) noexcept {
  pipe_standin::RunHook("SignalStop");
  std::lock_guard<std::mutex> lock(endpoint.mutex);
  endpoint.stopped = true;
  endpoint.stopped_changed.notify_all();
}

bool WaitForStop(Endpoint& endpoint, std::chrono::milliseconds timeout) noexcept {
  std::unique_lock<std::mutex> lock(endpoint.mutex);
  return endpoint.stopped_changed.wait_for(lock, timeout, [&] { return endpoint.stopped; });
}

Claim CreateInstance(Endpoint&, const wchar_t*, std::uint32_t) noexcept {
  pipe_standin::RunHook("CreateInstance");
  return Claim::kCreated;
}

void CloseInstance(Endpoint&) noexcept { pipe_standin::RunHook("CloseInstance"); }

bool StartConnect(Endpoint&) noexcept { return true; }
bool StartRead(Endpoint&, char*, std::uint32_t) noexcept { return false; }
bool StartWrite(Endpoint&, std::string_view) noexcept { return false; }

// Only the connection is ever pending, and it never completes.
Wait AwaitIo(Endpoint& endpoint, std::chrono::milliseconds timeout, bool watch_stop,
             std::uint32_t*) noexcept {
  std::unique_lock<std::mutex> lock(endpoint.mutex);
  const auto stopped = [&] { return watch_stop && endpoint.stopped; };
  if (timeout == kForever) {
    if (!watch_stop) return Wait::kFailed;  // would never return
    endpoint.stopped_changed.wait(lock, stopped);
    return Wait::kStopped;
  }
  return endpoint.stopped_changed.wait_for(lock, timeout, stopped) ? Wait::kStopped
                                                                   : Wait::kTimedOut;
}

void CancelIo(Endpoint&) noexcept {}
bool Flush(Endpoint&, std::int64_t, std::chrono::milliseconds, const std::atomic<bool>&) noexcept {
  return false;
}
void Disconnect(Endpoint&) noexcept {}

}  // namespace pipe
}  // namespace brumo
