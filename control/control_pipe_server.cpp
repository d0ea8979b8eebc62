// The server thread and its loop. Platform-free: the pipe itself is reached through
// pipe_platform.h.
//
// The instance is created once and kept for the thread's life: after each exchange the
// client is disconnected and the same instance waits for the next one, so the name never
// leaves the service while it runs and no other process can slip in between two clients.
// Every wait on a client is overlapped and watches the stop signal too, so a stop never
// needs a connection of its own.
#include "control/control_pipe_server.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "common/platform_thread.h"
#include "control/command_protocol.h"

namespace brumo {
namespace {

using Instant = std::chrono::steady_clock::time_point;
// The platform's monotonic clock (a virtual one in tests) as a point in time.
Instant Now() { return Instant(std::chrono::nanoseconds(MonotonicNowNs())); }

// The limits of one exchange, in two parts: the client's request, and its taking of the
// reply (the write and the flush). Each part has kClientTimeout from its start, cut to the
// part's stop grace from its start or from its first sight of the stop, whichever is
// later. The request's grace is nothing: once the stop is seen the read is given up,
// unless it is found complete at that last look. The processing between the parts is not
// counted, so a request read just before the stop leaves the client kStopGrace from the
// end of processing to take its reply.
class ExchangeLimits {
 public:
  explicit ExchangeLimits(const std::atomic<bool>& stop_requested)
      : stop_requested_(stop_requested) {}

  // Starts a part of the exchange.
  void BeginPart(std::chrono::milliseconds stop_grace) {
    const Instant now = Now();
    deadline_ = now + kClientTimeout;
    stop_grace_ = stop_grace;
    if (stop_seen_) stop_seen_at_ = now;
  }

  // Runs `wait(timeout, watch_stop)` (one of the platform's waits) until the current part's
  // limit. On anything but kDone the operation has ended or been given up. One that has
  // completed by the time the limit is found passed still counts as done.
  template <typename WaitFn>
  pipe::Wait Await(pipe::Endpoint& endpoint, WaitFn&& wait) {
    for (;;) {
      const Instant now = Now();
      if (!stop_seen_ && stop_requested_.load()) SeeStop(now);
      const Instant limit = Limit();
      // Rounded up, so the wait does not end just short of the limit; 0 once it has
      // passed: one last look at the operation.
      const auto timeout = now >= limit ? std::chrono::milliseconds(0)
                                        : std::chrono::ceil<std::chrono::milliseconds>(limit - now);
      const pipe::Wait outcome = wait(timeout, !stop_seen_);
      switch (outcome) {
        case pipe::Wait::kDone:
        case pipe::Wait::kEndedBadly:
          return outcome;
        case pipe::Wait::kWaitFailed:
          pipe::GiveUpIo(endpoint);
          return outcome;
        case pipe::Wait::kStopped:
          if (!stop_seen_) SeeStop(Now());
          break;
        case pipe::Wait::kTimedOut:
          if (now >= limit) {
            pipe::GiveUpIo(endpoint);
            return outcome;
          }
          break;
      }
    }
  }

 private:
  // The end of the current part.
  Instant Limit() const {
    if (!stop_seen_) return deadline_;
    return std::min(deadline_, stop_seen_at_ + stop_grace_);
  }

  void SeeStop(Instant now) {
    stop_seen_ = true;
    stop_seen_at_ = now;
  }

  const std::atomic<bool>& stop_requested_;
  Instant deadline_{};
  std::chrono::milliseconds stop_grace_{0};
  bool stop_seen_ = false;
  Instant stop_seen_at_{};
};

}  // namespace

ControlPipeServer::ControlPipeServer(TunnelController* controller) : controller_(controller) {}

ControlPipeServer::~ControlPipeServer() {
  if (running_.load()) Stop();
}

bool ControlPipeServer::Start() {
  if (running_.load()) return true;
  // Cleared before the thread exists, so a fresh thread never sees the last Stop's request.
  stop_requested_.exchange(false);
  endpoint_ = pipe::MakeEndpoint();
  running_.exchange(true);
  try {
    thread_ = LaunchThread([this] { ServerMain(); });
  } catch (...) {
    running_.exchange(false);
    endpoint_.reset();
    throw;
  }
  return true;
}

void ControlPipeServer::Stop() {
  if (!running_.load()) return;
  stop_requested_.exchange(true);
  if (endpoint_) pipe::SignalStop(*endpoint_);
  if (thread_.joinable()) thread_.join();
  endpoint_.reset();
  running_.exchange(false);
}

void ControlPipeServer::ServerMain() noexcept {
  pipe::Endpoint& endpoint = *endpoint_;
  // Allocated once, at the first client; an allocation failure drops that client only.
  std::unique_ptr<char[]> buffer;
  bool have_instance = false;

  while (!stop_requested_.load()) {
    if (!have_instance) {
      // Held by another process (which may be waiting for our clients): never join its
      // pipe; wait for the name to be free.
      if (pipe::CreateInstance(endpoint, kPipeName, static_cast<std::uint32_t>(kPipeBufferSize)) !=
          pipe::Claim::kCreated) {
        PauseBeforeRetry();
        continue;
      }
      have_instance = true;
    }

    pipe::Wait connected = pipe::Wait::kWaitFailed;
    if (pipe::StartConnect(endpoint)) {
      connected = pipe::AwaitIo(endpoint, pipe::kForever, true, nullptr);
      if (connected == pipe::Wait::kStopped) {
        pipe::GiveUpIo(endpoint);
        break;
      }
    }
    if (connected == pipe::Wait::kWaitFailed) {
      // The connect could not be started or waited for. The instance is kept while it is
      // usable (closing it would free the name), disconnected so that the next connect
      // starts afresh; either way the next try waits, so that an error that persists costs
      // one try a second.
      if (pipe::InstanceUsable(endpoint)) {
        pipe::DropClient(endpoint);
      } else {
        pipe::CloseInstance(endpoint);
        have_instance = false;
      }
      PauseBeforeRetry();
      continue;
    }
    // A client that connected as the stop came is not served.
    if (connected == pipe::Wait::kDone && !stop_requested_.load()) {
      try {
        if (!buffer) buffer = std::make_unique<char[]>(kPipeBufferSize);
        ServeClient(buffer.get());
      } catch (...) {
        // Nothing thrown while one client is served ends the thread.
      }
    }
    pipe::DropClient(endpoint);
  }
  pipe::CloseInstance(endpoint);
}

void ControlPipeServer::PauseBeforeRetry() {
  const Instant until = Now() + kCreateRetryDelay;
  if (pipe::WaitForStop(*endpoint_, kCreateRetryDelay)) return;
  // A wait that failed returns early: the rest is slept, stop or not, so that the retries
  // keep their pace.
  const Instant now = Now();
  if (now < until) SleepFor(std::chrono::ceil<std::chrono::milliseconds>(until - now));
}

void ControlPipeServer::ServeClient(char* buffer) {
  pipe::Endpoint& endpoint = *endpoint_;
  ExchangeLimits limits(stop_requested_);

  std::uint32_t received = 0;
  // A stop ends the wait for the request: nothing read after it is carried out.
  limits.BeginPart(std::chrono::milliseconds{0});
  if (!pipe::StartRead(endpoint, buffer, static_cast<std::uint32_t>(kMaxRequestBytes))) return;
  const auto read = [&](std::chrono::milliseconds timeout, bool watch_stop) {
    return pipe::AwaitIo(endpoint, timeout, watch_stop, &received);
  };
  if (limits.Await(endpoint, read) != pipe::Wait::kDone) return;

  const std::string reply = ProcessRequest(std::string_view(buffer, received), *controller_);
  if (reply.size() > 0xFFFFFFFFu) return;
  limits.BeginPart(kStopGrace);
  if (!pipe::StartWrite(endpoint, reply)) return;
  const auto write = [&](std::chrono::milliseconds timeout, bool watch_stop) {
    return pipe::AwaitIo(endpoint, timeout, watch_stop, nullptr);
  };
  if (limits.Await(endpoint, write) != pipe::Wait::kDone) return;
  // The disconnect that follows would discard what the client has not read yet. The wait
  // ends with the part; a stop it is the first to see gets kStopGrace.
  limits.Await(endpoint, [&](std::chrono::milliseconds timeout, bool watch_stop) {
    return pipe::AwaitReplyTaken(endpoint, timeout, watch_stop);
  });
}

}  // namespace brumo
