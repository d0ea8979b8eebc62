// The named pipe on Windows: one instance, created as the first of its name and kept for
// the endpoint's life, with every wait on a client overlapped and waited on together with
// the endpoint's stop event. See pipe_platform.h.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string_view>
#include <system_error>

#include "common/overlapped_win.h"
#include "common/scoped_resource_win.h"
#include "control/io_cancel_timer_win.h"
#include "control/pipe_platform.h"
#include "control/pipe_security_win.h"

namespace brumo::pipe {
namespace {

// Duplex and overlapped; the first instance of its name, or nothing. Wine ignores the
// first-instance flag, so no test under it would miss the flag: the value is pinned here.
constexpr DWORD kPipeOpenMode =
    PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
static_assert(kPipeOpenMode == 0x40080003);
// Byte stream both ways and no clients from other machines: the pipe lets anyone who
// reaches it start and stop the tunnel. PIPE_WAIT: overlapped calls pend rather than fail.
constexpr DWORD kPipeMode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
static_assert(kPipeMode == 8);
constexpr DWORD kMaxInstances = 1;
// 0: clients that wait for the pipe get the system default of 50 ms.
constexpr DWORD kDefaultClientWaitMs = 0;

}  // namespace

struct Endpoint {
  // Held for the endpoint's life. Without a descriptor the instance gets the default
  // security of the service's account.
  PipeSecurity security = BuildPipeSecurity();
  ScopedHandle stop_event;
  ScopedHandle io_event;
  ScopedFileHandle instance;
  OVERLAPPED overlapped{};
  // An operation was started and has not been waited to its end.
  bool pending = false;
  // An operation that ended inside its start call, so that nothing pends: AwaitIo reports
  // this outcome without waiting. Most reads and writes end so, the request or the room
  // for the reply being there already; a wait for them would only cost a round trip.
  bool settled = false;
  Wait settled_outcome = Wait::kDone;
  DWORD settled_bytes = 0;
  IoCancelTimer flush_timer;
};

void EndpointDeleter::operator()(Endpoint* endpoint) const noexcept {
  if (endpoint == nullptr) return;
  CloseInstance(*endpoint);
  delete endpoint;
}

EndpointPtr MakeEndpoint() {
  EndpointPtr endpoint(new Endpoint());
  // Manual-reset: a stop stays visible to every later wait.
  endpoint->stop_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  endpoint->io_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!endpoint->stop_event || !endpoint->io_event) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "CreateEventW");
  }
  return endpoint;
}

void SignalStop(Endpoint& endpoint) noexcept { ::SetEvent(endpoint.stop_event.get()); }

bool WaitForStop(Endpoint& endpoint, std::chrono::milliseconds timeout) noexcept {
  return ::WaitForSingleObject(endpoint.stop_event.get(), static_cast<DWORD>(timeout.count())) ==
         WAIT_OBJECT_0;
}

Claim CreateInstance(Endpoint& endpoint, const wchar_t* name, std::uint32_t buffer_size) noexcept {
  CloseInstance(endpoint);
  SECURITY_ATTRIBUTES attributes = PipeSecurityAttributes(endpoint.security);
  ScopedFileHandle instance(::CreateNamedPipeW(
      name, kPipeOpenMode, kPipeMode, kMaxInstances, buffer_size, buffer_size, kDefaultClientWaitMs,
      endpoint.security.descriptor ? &attributes : nullptr));
  if (!instance) {
    const DWORD error = ::GetLastError();
    // The first-instance flag refuses a name that exists (access denied); a name whose
    // instances are all taken answers busy.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) return Claim::kNameTaken;
    return Claim::kFailed;
  }
  // Some platforms (Wine) ignore the first-instance flag and let the creation join a pipe
  // of another process's that allows more instances. Ours, with one instance, counts one.
  DWORD instances = 0;
  if (!::GetNamedPipeHandleStateW(instance.get(), nullptr, &instances, nullptr, nullptr, nullptr,
                                  0)) {
    return Claim::kFailed;
  }
  if (instances != 1) return Claim::kNameTaken;
  endpoint.instance = std::move(instance);
  return Claim::kCreated;
}

void CloseInstance(Endpoint& endpoint) noexcept {
  GiveUpIo(endpoint);
  endpoint.instance.reset();
}

bool InstanceUsable(Endpoint& endpoint) noexcept {
  DWORD flags = 0;
  return endpoint.instance &&
         ::GetNamedPipeInfo(endpoint.instance.get(), &flags, nullptr, nullptr, nullptr) != FALSE;
}

namespace {

// Prepares the overlapped record for a new operation. ReadFile and WriteFile reset the
// event themselves when they begin; `reset_event` for the calls not documented to.
OVERLAPPED& FreshOverlapped(Endpoint& endpoint, bool reset_event) noexcept {
  endpoint.overlapped = OVERLAPPED{};
  endpoint.settled = false;
  if (reset_event) ::ResetEvent(endpoint.io_event.get());
  endpoint.overlapped.hEvent = endpoint.io_event.get();
  return endpoint.overlapped;
}

bool Settle(Endpoint& endpoint, Wait outcome, DWORD bytes) noexcept {
  endpoint.pending = false;
  endpoint.settled = true;
  endpoint.settled_outcome = outcome;
  endpoint.settled_bytes = bytes;
  return true;
}

// After an overlapped read or write: done at once, pending, or failed to start.
bool Started(Endpoint& endpoint, BOOL result) noexcept {
  if (result) {
    // Complete: the overlapped record holds the outcome already, no wait needed.
    DWORD moved = 0;
    const BOOL ok =
        ::GetOverlappedResult(endpoint.instance.get(), &endpoint.overlapped, &moved, FALSE);
    return Settle(endpoint, ok ? Wait::kDone : Wait::kEndedBadly, moved);
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    endpoint.pending = true;
    return true;
  }
  return false;
}

// What GetOverlappedResult, asked without waiting once the event is set, says of the
// operation. ERROR_IO_INCOMPLETE: the event was set but the operation has not ended, and
// still owns the record and the buffer; it must be given up (cancelled and waited for),
// never taken as ended.
constexpr Wait ResultOutcome(bool ok, DWORD error) {
  if (ok) return Wait::kDone;
  return error == ERROR_IO_INCOMPLETE ? Wait::kWaitFailed : Wait::kEndedBadly;
}
static_assert(ResultOutcome(false, ERROR_IO_INCOMPLETE) == Wait::kWaitFailed);
static_assert(ResultOutcome(false, ERROR_BROKEN_PIPE) == Wait::kEndedBadly);

}  // namespace

bool StartConnect(Endpoint& endpoint) noexcept {
  if (!endpoint.instance) return false;
  OVERLAPPED& overlapped = FreshOverlapped(endpoint, /*reset_event=*/true);
  if (::ConnectNamedPipe(endpoint.instance.get(), &overlapped)) {
    return Settle(endpoint, Wait::kDone, 0);
  }
  switch (::GetLastError()) {
    case ERROR_IO_PENDING:
      endpoint.pending = true;
      return true;
    case ERROR_PIPE_CONNECTED:
      // A client came between the last disconnect and this call: connected already.
      return Settle(endpoint, Wait::kDone, 0);
    case ERROR_NO_DATA:
      // A client connected and closed again before this call: a failure, after which the
      // caller disconnects it and waits for the next.
      return Settle(endpoint, Wait::kEndedBadly, 0);
    default:
      return false;
  }
}

bool StartRead(Endpoint& endpoint, char* buffer, std::uint32_t capacity) noexcept {
  OVERLAPPED& overlapped = FreshOverlapped(endpoint, /*reset_event=*/false);
  return Started(endpoint,
                 ::ReadFile(endpoint.instance.get(), buffer, capacity, nullptr, &overlapped));
}

bool StartWrite(Endpoint& endpoint, std::string_view data) noexcept {
  OVERLAPPED& overlapped = FreshOverlapped(endpoint, /*reset_event=*/false);
  return Started(endpoint, ::WriteFile(endpoint.instance.get(), data.data(),
                                       static_cast<DWORD>(data.size()), nullptr, &overlapped));
}

Wait AwaitIo(Endpoint& endpoint, std::chrono::milliseconds timeout, bool watch_stop,
             std::uint32_t* bytes) noexcept {
  if (endpoint.settled) {
    endpoint.settled = false;
    if (bytes != nullptr) *bytes = endpoint.settled_bytes;
    return endpoint.settled_outcome;
  }
  const HANDLE events[2] = {endpoint.io_event.get(), endpoint.stop_event.get()};
  const DWORD wait = ::WaitForMultipleObjects(
      watch_stop ? 2 : 1, events, FALSE,
      timeout == kForever ? INFINITE : static_cast<DWORD>(timeout.count()));
  if (wait == WAIT_OBJECT_0 + 1) return Wait::kStopped;
  if (wait == WAIT_TIMEOUT) return Wait::kTimedOut;
  if (wait != WAIT_OBJECT_0) return Wait::kWaitFailed;

  DWORD moved = 0;
  const BOOL ok =
      ::GetOverlappedResult(endpoint.instance.get(), &endpoint.overlapped, &moved, FALSE);
  const Wait outcome = ResultOutcome(ok != FALSE, ok ? ERROR_SUCCESS : ::GetLastError());
  // Only an operation known to have ended leaves the record and the buffer free.
  if (outcome == Wait::kWaitFailed) return outcome;
  endpoint.pending = false;
  if (outcome == Wait::kDone && bytes != nullptr) *bytes = moved;
  return outcome;
}

void GiveUpIo(Endpoint& endpoint) noexcept {
  endpoint.settled = false;
  if (!endpoint.pending) return;
  ::CancelIoEx(endpoint.instance.get(), &endpoint.overlapped);
  // The record and the buffer stay in use until the operation has ended.
  AwaitEnd(endpoint.overlapped);
  endpoint.pending = false;
}

Wait AwaitReplyTaken(Endpoint& endpoint, std::chrono::milliseconds timeout,
                     bool watch_stop) noexcept {
  // A stop set already is seen at the timer's first tick. Without the timer (a process out
  // of resources) the flush is not made: the client may then lose its reply, but it cannot
  // hold the server.
  if (!endpoint.flush_timer.Arm(timeout, watch_stop ? endpoint.stop_event.get() : nullptr)) {
    return Wait::kWaitFailed;
  }
  const BOOL flushed = ::FlushFileBuffers(endpoint.instance.get());
  const IoCancelTimer::Cause cause = endpoint.flush_timer.Disarm();
  if (flushed) return Wait::kDone;
  if (cause == IoCancelTimer::Cause::kTimedOut) return Wait::kTimedOut;
  if (cause == IoCancelTimer::Cause::kSignalled) return Wait::kStopped;
  return Wait::kEndedBadly;
}

void DropClient(Endpoint& endpoint) noexcept {
  GiveUpIo(endpoint);
  ::DisconnectNamedPipe(endpoint.instance.get());
}

}  // namespace brumo::pipe
