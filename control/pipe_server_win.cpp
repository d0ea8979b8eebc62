// The server loop on Windows: one pipe instance at a time, one request and one reply per
// connection, all I/O synchronous on the server thread.
//
// A connected client cannot hold the only instance, nor delay Stop for long: every call
// that waits for the client (the read, the write, the flush) runs while the thread's
// IoWatchdog is armed, and the watchdog cancels the call with CancelSynchronousIo once
// kClientTimeout has passed, or kStopGrace after the exchange first saw a stop request.
// The call then fails with ERROR_OPERATION_ABORTED and the exchange ends as any failed
// one does. The wait for a client to connect is not guarded: Stop's repeated wake-up
// releases it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/scoped_resource.h"
#include "control/control_pipe_server.h"
#include "control/pipe_security_win.h"
#include "control/pipe_server_platform.h"

namespace brumo {
namespace {

using Clock = std::chrono::steady_clock;

// Duplex, without FILE_FLAG_FIRST_PIPE_INSTANCE, overlapped or write-through flags.
constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX;
// Byte stream both ways, blocking calls, and no clients from other machines: the pipe
// lets anyone who reaches it start and stop the tunnel.
constexpr DWORD kPipeMode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
static_assert(kPipeOpenMode == 3 && kPipeMode == 8);
constexpr DWORD kMaxInstances = 1;
// 0: clients that wait for the pipe get the system default of 50 ms.
constexpr DWORD kDefaultClientWaitMs = 0;
constexpr DWORD kMaxRequestBytes = static_cast<DWORD>(kPipeBufferSize - 1);
// How often an armed IoWatchdog looks at the clock and the stop request.
constexpr DWORD kWatchdogCheckMs = 50;
// The due time and period of a resting watchdog's timer: about 24 days. Its ticks find the
// watchdog disarmed and do nothing. The timer is never left as a one-shot: one that has
// fired can no longer be changed, and the next Arm would then never be watched.
constexpr DWORD kWatchdogIdleMs = 0x7fffffff;

class SrwExclusive {
 public:
  explicit SrwExclusive(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
  ~SrwExclusive() { ::ReleaseSRWLockExclusive(&lock_); }
  SrwExclusive(const SrwExclusive&) = delete;
  SrwExclusive& operator=(const SrwExclusive&) = delete;

 private:
  SRWLOCK& lock_;
};

// A real handle to the calling thread (GetCurrentThread gives a pseudo-handle that means
// "the caller" to whichever thread uses it). Empty on failure.
ScopedHandle OpenCurrentThread() noexcept {
  ScopedHandle thread;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                         thread.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return ScopedHandle();
  }
  return thread;
}

// Bounds the synchronous calls that the server thread makes on a client. Made once per
// server thread, and armed only from it: one timer-queue timer serves every exchange.
// Creating and deleting a timer per call would cost more than the exchange itself, since
// a deletion waits for the timer thread.
//
// While armed, the watchdog looks every kWatchdogCheckMs and cancels the thread's
// synchronous I/O once the deadline has passed, or kStopGrace after the exchange's first
// sight of `stop_requested`. The test is repeated for as long as the watchdog stays
// armed, because a cancel issued just before the thread has entered its call finds
// nothing to cancel (ERROR_NOT_FOUND) and is not remembered. Arming, disarming and the
// test with its cancel share one lock, so once Disarm has returned no cancel can reach
// the thread (such as while it processes a request, or in the next exchange's call).
//
// The timer ticks every kWatchdogCheckMs from the first Arm after a quiet spell for as
// long as clients keep coming; a tick that finds the watchdog disarmed puts it back to
// rest (kWatchdogIdleMs). Arm and Disarm thus touch the timer only after a pause, and an
// idle service does not wake up to look at the clock.
class IoWatchdog {
 public:
  explicit IoWatchdog(const std::atomic<bool>& stop_requested) noexcept
      : stop_requested_(stop_requested) {}
  ~IoWatchdog() {
    // INVALID_HANDLE_VALUE: return only once a running callback has finished. Before the
    // thread handle is closed.
    if (timer_ != nullptr) ::DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
  }
  IoWatchdog(const IoWatchdog&) = delete;
  IoWatchdog& operator=(const IoWatchdog&) = delete;

  // A new client: it gets its own kStopGrace, shared by its read and its write.
  void BeginExchange() noexcept {
    const SrwExclusive hold(lock_);
    stop_seen_.reset();
  }

  // Arms the watchdog for one call on the client, to be cancelled at `deadline` at the
  // latest. False when the thread's handle or the timer cannot be had, or the timer cannot
  // be started: the call must then not be made. Each Arm tries again what failed before.
  [[nodiscard]] bool Arm(Clock::time_point deadline) noexcept {
    const SrwExclusive hold(lock_);
    if (!thread_) thread_ = OpenCurrentThread();
    if (!thread_) return false;
    // Created with its due time and period far off, so no tick can come before timer_ is
    // set; neither call waits for a callback, so both may be made under the lock.
    if (timer_ == nullptr &&
        !::CreateTimerQueueTimer(&timer_, nullptr, &IoWatchdog::Tick, this, kWatchdogIdleMs,
                                 kWatchdogIdleMs, WT_EXECUTEDEFAULT)) {
      timer_ = nullptr;
      return false;
    }
    // Under the lock, so that a tick that stops the timer cannot come between.
    if (!ticking_) {
      if (!::ChangeTimerQueueTimer(nullptr, timer_, kWatchdogCheckMs, kWatchdogCheckMs)) {
        return false;
      }
      ticking_ = true;
    }
    deadline_ = deadline;
    armed_ = true;
    return true;
  }

  void Disarm() noexcept {
    const SrwExclusive hold(lock_);
    armed_ = false;
  }

 private:
  static void CALLBACK Tick(void* context, BOOLEAN /*timer_fired*/) {
    static_cast<IoWatchdog*>(context)->Check();
  }

  void Check() noexcept {
    const SrwExclusive hold(lock_);
    if (!armed_) {
      // Between two calls, or idle: rest until the next Arm. Should the change fail, the
      // timer goes on ticking and a later tick tries again.
      if (ticking_ && ::ChangeTimerQueueTimer(nullptr, timer_, kWatchdogIdleMs, kWatchdogIdleMs)) {
        ticking_ = false;
      }
      return;
    }
    const Clock::time_point now = Clock::now();
    bool expired = now >= deadline_;
    if (!expired && stop_requested_.load()) {
      if (!stop_seen_) stop_seen_ = now;
      expired = now - *stop_seen_ >= kStopGrace;
    }
    if (expired) ::CancelSynchronousIo(thread_.get());
  }

  const std::atomic<bool>& stop_requested_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  // Under lock_ (thread_ and timer_ are set by the server thread, read by the callback):
  ScopedHandle thread_;
  HANDLE timer_ = nullptr;
  bool ticking_ = false;
  bool armed_ = false;
  Clock::time_point deadline_;
  std::optional<Clock::time_point> stop_seen_;
};

ScopedFileHandle CreateInstance(SECURITY_ATTRIBUTES* attributes) noexcept {
  return ScopedFileHandle(::CreateNamedPipeW(
      kPipeName, kPipeOpenMode, kPipeMode, kMaxInstances, static_cast<DWORD>(kPipeBufferSize),
      static_cast<DWORD>(kPipeBufferSize), kDefaultClientWaitMs, attributes));
}

// One wait of kCreateRetryDelay on the steady clock, ended early by a stop request.
void WaitBeforeRetry(const std::atomic<bool>& stop_requested) {
  const Clock::time_point until = Clock::now() + kCreateRetryDelay;
  while (!stop_requested.load()) {
    const Clock::time_point now = Clock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kWakeRetryInterval));
  }
}

// One exchange with the client connected to `instance`: one read, one reply in one write,
// flush, disconnect. The caller closes the instance.
void ServeClient(ControlPipeServer& server, HANDLE instance, IoWatchdog& watchdog,
                 std::vector<char>& buffer) {
  watchdog.BeginExchange();
  DWORD received = 0;
  bool read = false;
  if (watchdog.Arm(Clock::now() + kClientTimeout)) {
    read = ::ReadFile(instance, buffer.data(), kMaxRequestBytes, &received, nullptr);
    watchdog.Disarm();
  }
  if (read) {
    const std::string reply = server.ProcessRequest(std::string_view(buffer.data(), received));
    DWORD written = 0;
    // The flush returns once the client has read the whole reply, so that the disconnect
    // below does not discard any of it.
    if (reply.size() <= MAXDWORD && watchdog.Arm(Clock::now() + kClientTimeout)) {
      if (::WriteFile(instance, reply.data(), static_cast<DWORD>(reply.size()), &written,
                      nullptr)) {
        ::FlushFileBuffers(instance);
      }
      watchdog.Disarm();
    }
  }
  ::DisconnectNamedPipe(instance);
}

}  // namespace

void ControlPipeServer::ServerMain() {
  // Held for the thread's whole life and released when it returns. Without a descriptor
  // the instances get the default security of the service's account.
  const PipeSecurity security = BuildPipeSecurity();
  SECURITY_ATTRIBUTES attributes = PipeSecurityAttributes(security);
  SECURITY_ATTRIBUTES* const instance_attributes = security.descriptor ? &attributes : nullptr;
  // When the watchdog cannot be armed (no thread handle or timer to be had, which takes a
  // process out of resources), the thread cannot bound its waits on a client: it then
  // drops the client unread, or without its reply, rather than let it block Stop, and
  // tries again with the next.
  IoWatchdog watchdog(stop_requested_);
  std::vector<char> buffer;

  while (!stop_requested_.load()) {
    // Nothing thrown while one client is served (an allocation, the processing, the
    // write) ends the thread; the instance owner closes the instance on the way out.
    try {
      ScopedFileHandle instance = CreateInstance(instance_attributes);
      if (!instance) {
        WaitBeforeRetry(stop_requested_);
        continue;
      }
      if (!::ConnectNamedPipe(instance.get(), nullptr) &&
          ::GetLastError() != ERROR_PIPE_CONNECTED) {
        continue;
      }
      // Stop's wake-up, or a client that came too late: nothing is read from it.
      if (stop_requested_.load()) continue;
      // Allocated at the first client, inside the try: a failure is survived like any other.
      buffer.resize(kPipeBufferSize);
      ServeClient(*this, instance.get(), watchdog, buffer);
    } catch (...) {
    }
  }
}

void WakePipeServer() noexcept {
  // Identification only: while the service is stopping, another process may hold the name,
  // and the service's account must not be lent to it.
  ScopedFileHandle client(::CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING,
                                        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
}

}  // namespace brumo
