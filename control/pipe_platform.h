// The named pipe under the control pipe server's loop: thin calls over the platform's
// named-pipe and event functions, one server endpoint per server thread. Windows binds
// pipe_platform_win.cpp (overlapped I/O on one pipe instance, waited on together with a
// stop event); hosts without named pipes get a stand-in from tests/standins at the final
// link. The loop that decides what to do with each outcome is control_pipe_server.cpp.
//
// Threads: SignalStop may be called from any thread; every other function only from the
// thread that serves the endpoint (after MakeEndpoint has returned it).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace brumo::pipe {

// One server endpoint: the pipe instance (at most one, kept from its creation to
// CloseInstance), the security descriptor it is created with, the stop signal and the
// state of the one overlapped operation that may be pending.
struct Endpoint;
struct EndpointDeleter {
  void operator()(Endpoint* endpoint) const noexcept;  // closes the instance too
};
using EndpointPtr = std::unique_ptr<Endpoint, EndpointDeleter>;

// A fresh endpoint without an instance, its stop signal clear. Throws std::system_error
// when the platform cannot give the events it needs (a process out of resources).
EndpointPtr MakeEndpoint();

// Sets the stop signal: a wait that watches it returns kStopped. Stays set.
void SignalStop(Endpoint& endpoint) noexcept;

// Waits up to `timeout` for the stop signal; true when it is set. False also when the wait
// itself failed, which may be before `timeout` has passed.
bool WaitForStop(Endpoint& endpoint, std::chrono::milliseconds timeout) noexcept;

enum class Claim {
  kCreated,    // the instance exists, and it is the only one of the name: ours
  kNameTaken,  // another process has a pipe of this name; nothing was created
  kFailed,     // the creation failed for another reason
};

// Creates the endpoint's one instance of `name` (byte mode both ways, one instance,
// remote clients refused, `buffer_size` bytes each way), as the first instance of the
// name. An instance that turns out not to be the first (a platform that ignores the
// first-instance flag) is closed again and reported as kNameTaken.
Claim CreateInstance(Endpoint& endpoint, const wchar_t* name, std::uint32_t buffer_size) noexcept;
// Closes the instance, if any. The name is free afterwards.
void CloseInstance(Endpoint& endpoint) noexcept;
// Whether the instance still answers as a pipe of ours, so that a failed call on it may be
// tried again; false when there is none.
bool InstanceUsable(Endpoint& endpoint) noexcept;

enum class Wait {
  kDone,        // the operation has completed, successfully
  kStopped,     // the stop signal came first; the operation is still pending
  kTimedOut,    // the time-out came first; the operation is still pending
  kEndedBadly,  // the operation has ended, and failed (the client went away, among others)
  kWaitFailed,  // the wait itself failed, or cannot tell whether the operation has ended:
                // it is still pending and must be given up (GiveUpIo)
};

// Starts one operation on the instance. Only one operation may be pending at a time; its
// outcome comes from AwaitIo. False when it could not be started (AwaitIo is then not
// called); after a failed StartConnect, InstanceUsable tells whether to try again on the
// same instance.
bool StartConnect(Endpoint& endpoint) noexcept;
bool StartRead(Endpoint& endpoint, char* buffer, std::uint32_t capacity) noexcept;
bool StartWrite(Endpoint& endpoint, std::string_view data) noexcept;

// Waits for the pending operation, up to `timeout` (kForever: no limit), and for the stop
// signal too when `watch_stop` is true. On kDone, `*bytes` (when not null) is the count
// the operation moved. On kStopped and kTimedOut the operation stays pending: wait again,
// or give it up with GiveUpIo; on kWaitFailed it must be given up before its buffer is
// used again.
inline constexpr std::chrono::milliseconds kForever{-1};
Wait AwaitIo(Endpoint& endpoint, std::chrono::milliseconds timeout, bool watch_stop,
             std::uint32_t* bytes) noexcept;
// Gives up the pending operation, if any, and returns once it has ended: its record and
// buffer are free afterwards.
void GiveUpIo(Endpoint& endpoint) noexcept;

// Waits until the client has read everything written (kDone), up to `timeout`, and for the
// stop signal too when `watch_stop` is true. kTimedOut and kStopped say what came first,
// kEndedBadly that the client went away, kWaitFailed that the wait could not be made.
// Nothing stays pending: the reply stays in the pipe, and a later call waits for it again.
Wait AwaitReplyTaken(Endpoint& endpoint, std::chrono::milliseconds timeout,
                     bool watch_stop) noexcept;

// Ends the connection with the current client, if any, giving up what is pending; the
// instance waits for the next.
void DropClient(Endpoint& endpoint) noexcept;

}  // namespace brumo::pipe
