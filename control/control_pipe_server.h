// The control channel: a named-pipe server on one thread of its own, and the command
// protocol it speaks (one JSON request, one JSON reply per connection).
#pragma once

#include <atomic>
#include <cstddef>
#include <future>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

namespace brumo {

class TunnelController;

inline constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\BrumoVPN";
inline constexpr std::size_t kPipeBufferSize = 65536;

class ControlPipeServer {
 public:
  // `controller` is not owned and must outlive the server. Starts nothing.
  explicit ControlPipeServer(TunnelController* controller);
  // Stops a running server first.
  ~ControlPipeServer();

  ControlPipeServer(const ControlPipeServer&) = delete;
  ControlPipeServer& operator=(const ControlPipeServer&) = delete;

  // Starts the server thread; true once it exists (also when it already did). Throws
  // std::system_error when the thread cannot be created. Caller's thread only.
  bool Start();
  // Wakes and joins the server thread; returns within about a second whatever a connected
  // client does, but waits for a command that is being processed to finish. Does nothing
  // when no thread runs. Caller's thread only; on the server thread itself it throws
  // std::system_error (resource_deadlock_would_occur) from the join.
  void Stop();

  // Command protocol; all of it runs on the server thread.
  //
  // The bytes of one request to the bytes of its reply. Never throws: every request gets
  // exactly one reply, a JSON object in valid UTF-8.
  std::string ProcessRequest(std::string_view request);
  // Routes a parsed request to its handler, or builds an error reply. Throws the JSON
  // library's type error when "command" is not a string.
  nlohmann::json HandleCommand(const nlohmann::json& request);
  nlohmann::json HandleStart();
  nlohmann::json HandleStop();
  nlohmann::json HandleStatus();

 private:
  // The server thread's body (platform source). Returns only once stop_requested_ is set;
  // never throws.
  void ServerMain();

  TunnelController* controller_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_requested_{false};
  // Ready once ServerMain has returned; lets Stop repeat its wake-up until then. Valid while
  // thread_ holds a thread. Caller's thread only.
  std::future<void> server_done_;
};

}  // namespace brumo
