// Server thread management, platform-free. The loop itself (ServerMain) and the wake-up
// are in the platform source (pipe_server_platform.h).
#include <future>
#include <thread>
#include <utility>

#include "control/control_pipe_server.h"
#include "control/pipe_server_platform.h"

namespace brumo {

ControlPipeServer::~ControlPipeServer() {
  if (running_.load()) Stop();
}

bool ControlPipeServer::Start() {
  if (running_.load()) return true;
  // Cleared before the thread exists, so a fresh thread never sees the last Stop's request.
  stop_requested_.exchange(false);
  running_.exchange(true);
  try {
    std::promise<void> done;
    std::future<void> done_future = done.get_future();
    thread_ = std::thread([this, done = std::move(done)]() mutable {
      ServerMain();
      done.set_value();
    });
    server_done_ = std::move(done_future);
  } catch (...) {
    running_.exchange(false);
    throw;
  }
  return true;
}

void ControlPipeServer::Stop() {
  if (!running_.load()) return;
  stop_requested_.exchange(true);
  // A wake-up that falls between the thread's test of stop_requested_ and its creation of
  // the next instance finds no instance to connect to, and the thread would then wait for
  // a real client; so it is repeated until the thread has ended. A thread that is serving
  // a client sees the request through its I/O deadline instead (the wake-up then gets
  // ERROR_PIPE_BUSY). On the server thread itself the join below reports the deadlock.
  if (server_done_.valid() && thread_.get_id() != std::this_thread::get_id()) {
    do {
      WakePipeServer();
    } while (server_done_.wait_for(kWakeRetryInterval) != std::future_status::ready);
    server_done_ = std::future<void>();
  }
  if (thread_.joinable()) thread_.join();
  running_.exchange(false);
}

}  // namespace brumo
