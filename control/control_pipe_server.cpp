// Server thread management. The loop itself (ServerMain) is in the platform source.
#include "control/control_pipe_server.h"

namespace brumo {

ControlPipeServer::~ControlPipeServer() {
  if (running_.load()) Stop();
}

bool ControlPipeServer::Start() {
  if (running_.load()) return true;
  stop_requested_.exchange(false);
  running_.exchange(true);
  try {
    thread_ = std::thread([this] { ServerMain(); });
  } catch (...) {
    running_.exchange(false);
    throw;
  }
  return true;
}

void ControlPipeServer::Stop() {
  if (!running_.load()) return;
  stop_requested_.exchange(true);
  if (thread_.joinable()) thread_.join();
  running_.exchange(false);
}

}  // namespace brumo
