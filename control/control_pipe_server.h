// The control channel's server: the named pipe \\.\pipe\BrumoVPN, served on one thread of
// its own, one client at a time, one request and one reply per connection (the command
// protocol, command_protocol.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

#include "control/control_names.h"
#include "control/pipe_platform.h"

namespace brumo {

class TunnelController;

// How long a connected client may take to send its request, and again to take its reply,
// before the server drops it and serves the next client. Processing is not counted.
inline constexpr std::chrono::seconds kClientTimeout{5};
// Once a stop has been requested, no request is taken any more: a client whose request the
// server has not read by the time it sees the stop is dropped without an answer (a request
// already in the pipe at that moment may still be read and counts as read). A request read
// before the stop is seen is processed, and its client then has this long to take the reply,
// counted from the end of the processing or from the stop, whichever is later: a client whose
// command was carried out gets the reply that says so.
inline constexpr std::chrono::milliseconds kStopGrace{500};
// Pause before the next attempt when the pipe instance cannot be created (for instance
// while another process holds the name), or cannot listen for a client. Cut short by a stop.
inline constexpr std::chrono::seconds kCreateRetryDelay{1};

class ControlPipeServer {
 public:
  // `controller` is not owned and must outlive the server. Starts nothing.
  explicit ControlPipeServer(TunnelController* controller);
  // Stops a running server first.
  ~ControlPipeServer();

  ControlPipeServer(const ControlPipeServer&) = delete;
  ControlPipeServer& operator=(const ControlPipeServer&) = delete;

  // Starts the server thread; true once it exists (also when it already did). Throws
  // std::system_error when the thread, or the events it waits on, cannot be had. Caller's
  // thread only.
  bool Start();
  // Signals the server thread and joins it. An idle thread ends at once, and so does one
  // whose client's request it has not read by the time it sees the signal; a command being
  // processed is finished first and its client gets kStopGrace for the reply. Does nothing when no
  // thread runs. Caller's thread only; on the server thread itself it throws std::system_error
  // (resource_deadlock_would_occur) from the join.
  void Stop();

 private:
  // The server thread's body. Returns once a stop is requested; never throws.
  void ServerMain() noexcept;
  // Waits kCreateRetryDelay, or until a stop.
  void PauseBeforeRetry();
  // One exchange with the connected client: one read, one reply, flush.
  void ServeClient(char* buffer);

  TunnelController* controller_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_requested_{false};
  // The thread's pipe endpoint, made by Start before the thread so that Stop can signal
  // it, and released by Stop after the join.
  pipe::EndpointPtr endpoint_;
};

}  // namespace brumo
