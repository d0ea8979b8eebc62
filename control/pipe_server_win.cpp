// The server loop on Windows: one pipe instance at a time, one request and one reply per
// connection, all I/O synchronous on the server thread.
//
// A connected client cannot hold the only instance, nor delay Stop: every call that waits
// for the client (the read, the write, the flush) runs under an IoDeadline, a timer that
// cancels the call with CancelSynchronousIo once kClientTimeout has passed or a stop has
// been requested. The call then fails with ERROR_OPERATION_ABORTED and the exchange ends
// as any failed one does. The wait for a client to connect is not guarded: Stop's
// repeated wake-up releases it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
// How often an IoDeadline looks at the clock and the stop request.
constexpr DWORD kDeadlineCheckMs = 50;

// While it lives, cancels the synchronous I/O of `thread` once `deadline` has passed or
// `stop_requested` is set. The test is repeated every kDeadlineCheckMs for as long as the
// guard lives, because a cancel issued just before the thread has entered its call finds
// nothing to cancel (ERROR_NOT_FOUND) and is not remembered. The destructor deletes the
// timer and waits for a check that is under way, so no cancel reaches the thread after
// the guard is gone (such as during the processing of a request).
class IoDeadline {
 public:
  IoDeadline(HANDLE thread, Clock::time_point deadline,
             const std::atomic<bool>& stop_requested) noexcept
      : thread_(thread), deadline_(deadline), stop_requested_(stop_requested) {
    if (thread_ == nullptr ||
        !::CreateTimerQueueTimer(&timer_, nullptr, &IoDeadline::Check, this, kDeadlineCheckMs,
                                 kDeadlineCheckMs, WT_EXECUTEDEFAULT)) {
      timer_ = nullptr;
    }
  }
  ~IoDeadline() {
    // INVALID_HANDLE_VALUE: return only once a running callback has finished.
    if (timer_ != nullptr) ::DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
  }
  IoDeadline(const IoDeadline&) = delete;
  IoDeadline& operator=(const IoDeadline&) = delete;

  // False without a thread handle or when the timer could not be created: the guarded
  // call must then not be made.
  bool armed() const noexcept { return timer_ != nullptr; }

 private:
  static void CALLBACK Check(void* context, BOOLEAN /*timer_fired*/) {
    const auto* self = static_cast<const IoDeadline*>(context);
    if (self->stop_requested_.load() || Clock::now() >= self->deadline_) {
      ::CancelSynchronousIo(self->thread_);
    }
  }

  HANDLE thread_;
  Clock::time_point deadline_;
  const std::atomic<bool>& stop_requested_;
  HANDLE timer_ = nullptr;
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
void ServeClient(ControlPipeServer& server, HANDLE instance, HANDLE self,
                 const std::atomic<bool>& stop_requested) {
  std::vector<char> buffer(kPipeBufferSize);
  DWORD received = 0;
  bool read = false;
  {
    IoDeadline deadline(self, Clock::now() + kClientTimeout, stop_requested);
    read = deadline.armed() &&
           ::ReadFile(instance, buffer.data(), kMaxRequestBytes, &received, nullptr);
  }
  if (read) {
    const std::string reply = server.ProcessRequest(std::string_view(buffer.data(), received));
    IoDeadline deadline(self, Clock::now() + kClientTimeout, stop_requested);
    DWORD written = 0;
    // The flush returns once the client has read the whole reply, so that the disconnect
    // below does not discard any of it.
    if (deadline.armed() && reply.size() <= MAXDWORD &&
        ::WriteFile(instance, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr)) {
      ::FlushFileBuffers(instance);
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
  // Without its own handle the thread cannot bound its waits on a client; it then drops
  // every client unread (IoDeadline never arms) rather than let one block Stop.
  const ScopedHandle self = OpenCurrentThread();

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
      ServeClient(*this, instance.get(), self.get(), stop_requested_);
    } catch (...) {
    }
  }
}

void WakePipeServer() noexcept {
  ScopedFileHandle client(::CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
}

}  // namespace brumo
