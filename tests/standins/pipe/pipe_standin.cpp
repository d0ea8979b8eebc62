// Link-time stand-in for control/pipe_platform.h; see pipe_standin.h.
#include "tests/standins/pipe/pipe_standin.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/platform_thread.h"
#include "control/pipe_platform.h"
#include "tests/standins/guarded.h"

namespace brumo {
namespace pipe_standin {
namespace {

constexpr std::string_view kRequest = R"({"command":"active"})";

struct State {
  std::function<void(std::string_view)> hook;
  std::function<void(std::string_view)> trace;
  int connect_failures = 0;
  bool broken = false;
  bool stop_waits_fail = false;
  std::optional<Client> client;
  std::uint32_t read_capacity = 0;
};

auto& The() { return standins::TheState<State>(); }

void RunHook(std::string_view call) {
  standins::UpdateThenHook<State>([](State& s) { return s.hook; }, call);
}
void Trace(std::string_view call) {
  standins::UpdateThenHook<State>([](State& s) { return s.trace; }, call);
}

std::int64_t DueIn(std::chrono::milliseconds delay) {
  return MonotonicNowNs() + std::chrono::nanoseconds(delay).count();
}

}  // namespace

void Reset() {
  The()([](State& s) { s = State(); });
}
void SetHook(std::function<void(std::string_view)> hook) {
  The().Set(&State::hook, std::move(hook));
}
void SetTrace(std::function<void(std::string_view)> trace) {
  The().Set(&State::trace, std::move(trace));
}
void FailConnects(int count) { The().Set(&State::connect_failures, count); }
void BreakInstance() { The().Set(&State::broken, true); }
void FailStopWaits() { The().Set(&State::stop_waits_fail, true); }
void ScriptClient(Client client) { The().Set(&State::client, std::optional<Client>(client)); }
std::uint32_t ReadCapacity() { return The().Get(&State::read_capacity); }

const standins::ResetWhenLinked registered(&Reset);

}  // namespace pipe_standin

namespace pipe {

namespace standin = pipe_standin;

struct Endpoint {
  std::mutex mutex;
  std::condition_variable stopped_changed;
  bool stopped = false;  // under mutex; the rest is the server thread's
  enum class Op { kNone, kDone, kRead } op = Op::kNone;
  std::optional<standin::Client> client;
  std::int64_t due_ns = 0;  // when the client's request is in, or its reply taken

  bool Stopped() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopped;
  }
};

void EndpointDeleter::operator()(Endpoint* endpoint) const noexcept { delete endpoint; }

EndpointPtr MakeEndpoint() {
  standin::RunHook("MakeEndpoint");
  return EndpointPtr(new Endpoint);
}

// The hook runs under the lock: the server thread sees the signal once the hook has
// returned, neither before nor later.
void SignalStop(Endpoint& endpoint) noexcept {
  std::lock_guard<std::mutex> lock(endpoint.mutex);
  endpoint.stopped = true;
  standin::RunHook("SignalStop");
  endpoint.stopped_changed.notify_all();
}

bool WaitForStop(Endpoint& endpoint, std::chrono::milliseconds timeout) noexcept {
  standin::Trace("wait-" + std::to_string(timeout.count()));
  if (endpoint.Stopped()) return true;
  if (standin::The().Get(&standin::State::stop_waits_fail)) return false;
  SleepFor(timeout);
  return endpoint.Stopped();
}

Claim CreateInstance(Endpoint&, const wchar_t*, std::uint32_t) noexcept {
  standin::RunHook("CreateInstance");
  standin::Trace("create");
  return Claim::kCreated;
}

void CloseInstance(Endpoint&) noexcept {
  standin::RunHook("CloseInstance");
  standin::Trace("close");
  standin::The().Set(&standin::State::broken, false);
}

bool InstanceUsable(Endpoint&) noexcept { return !standin::The().Get(&standin::State::broken); }

bool StartConnect(Endpoint& endpoint) noexcept {
  standin::Trace("connect");
  return standin::The()([&](standin::State& s) {
    if (s.broken) return false;
    if (s.connect_failures > 0) {
      --s.connect_failures;
      return false;
    }
    endpoint.client = std::exchange(s.client, std::nullopt);
    if (endpoint.client) endpoint.op = Endpoint::Op::kDone;
    return true;
  });
}

bool StartRead(Endpoint& endpoint, char* buffer, std::uint32_t capacity) noexcept {
  if (!endpoint.client) return false;
  standin::Trace("read");
  standin::The().Set(&standin::State::read_capacity, capacity);
  endpoint.op = Endpoint::Op::kRead;
  endpoint.due_ns = standin::DueIn(endpoint.client->request_after);
  // The server reads the buffer only once the read has completed.
  std::memcpy(buffer, standin::kRequest.data(), standin::kRequest.size());
  return true;
}

bool StartWrite(Endpoint& endpoint, std::string_view) noexcept {
  if (!endpoint.client) return false;
  standin::Trace("write");
  endpoint.op = Endpoint::Op::kDone;
  endpoint.due_ns = standin::DueIn(endpoint.client->reply_taken_after);
  return true;
}

namespace {

// What the scripted client does at `due_ns` (on the platform clock) is done then, unless
// the stop, when watched, or the time-out comes first.
Wait AwaitDue(Endpoint& endpoint, std::int64_t due_ns, std::chrono::milliseconds timeout,
              bool watch_stop) {
  if (watch_stop && endpoint.Stopped()) return Wait::kStopped;
  const auto left = std::chrono::nanoseconds(due_ns - MonotonicNowNs());
  if (timeout != kForever && left > timeout) {
    SleepFor(timeout);
    return Wait::kTimedOut;
  }
  if (left.count() > 0) SleepFor(std::chrono::ceil<std::chrono::milliseconds>(left));
  return Wait::kDone;
}

}  // namespace

// Without a client only the connection is ever pending, and it never completes.
Wait AwaitIo(Endpoint& endpoint, std::chrono::milliseconds timeout, bool watch_stop,
             std::uint32_t* bytes) noexcept {
  if (endpoint.op != Endpoint::Op::kNone) {
    const bool read = endpoint.op == Endpoint::Op::kRead;
    const Wait outcome =
        read ? AwaitDue(endpoint, endpoint.due_ns, timeout, watch_stop) : Wait::kDone;
    if (outcome != Wait::kDone) return outcome;
    if (read && bytes != nullptr) *bytes = static_cast<std::uint32_t>(standin::kRequest.size());
    endpoint.op = Endpoint::Op::kNone;
    return Wait::kDone;
  }
  std::unique_lock<std::mutex> lock(endpoint.mutex);
  const auto stopped = [&] { return watch_stop && endpoint.stopped; };
  if (timeout == kForever) {
    if (!watch_stop) return Wait::kWaitFailed;  // would never return
    endpoint.stopped_changed.wait(lock, stopped);
    return Wait::kStopped;
  }
  return endpoint.stopped_changed.wait_for(lock, timeout, stopped) ? Wait::kStopped
                                                                   : Wait::kTimedOut;
}

void GiveUpIo(Endpoint& endpoint) noexcept { endpoint.op = Endpoint::Op::kNone; }

Wait AwaitReplyTaken(Endpoint& endpoint, std::chrono::milliseconds timeout,
                     bool watch_stop) noexcept {
  if (!endpoint.client) return Wait::kEndedBadly;
  standin::Trace("flush");
  const Wait outcome = AwaitDue(endpoint, endpoint.due_ns, timeout, watch_stop);
  if (outcome == Wait::kDone) standin::Trace("taken");
  return outcome;
}

void DropClient(Endpoint& endpoint) noexcept {
  standin::Trace("drop");
  endpoint.client.reset();
  endpoint.op = Endpoint::Op::kNone;
}

}  // namespace pipe
}  // namespace brumo
