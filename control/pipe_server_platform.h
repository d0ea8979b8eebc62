// The platform half of the control pipe server, bound at link time: pipe_server_win.cpp
// on Windows, pipe_server_host.cpp (a thread that only waits for its stop) elsewhere.
// Besides these, each source defines ControlPipeServer::ServerMain.
#pragma once

#include <chrono>

namespace brumo {

// How long a connected client may take to send its request, and again to take its reply,
// before the server cancels the call that waits for it, disconnects and serves the next
// client. Processing the request is not counted.
inline constexpr std::chrono::seconds kClientTimeout{5};
// Once a stop has been requested, how much longer the client being served may take over
// its part of the exchange (sending the request, taking the reply), counted from when the
// exchange first sees the request. A live client still gets its reply; a silent one
// delays Stop by no more than this.
inline constexpr std::chrono::milliseconds kStopGrace{500};
// Pause before the next attempt when the pipe instance cannot be created (for instance
// while another process holds the name). Cut short by a stop request.
inline constexpr std::chrono::seconds kCreateRetryDelay{1};
// How often Stop repeats its wake-up while the server thread has not yet ended.
inline constexpr std::chrono::milliseconds kWakeRetryInterval{50};

// Opens kPipeName as a client and closes it at once, which releases a server thread that
// waits for a client. Failures (no instance, instance busy) are ignored. Any thread.
void WakePipeServer() noexcept;

}  // namespace brumo
