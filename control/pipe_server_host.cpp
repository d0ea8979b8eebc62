// Host stand-in for the platform half of the pipe server: there is no named pipe off
// Windows, so the thread only waits for its stop request. Start, Stop and the destructor
// around it are the real ones.
#include <chrono>
#include <thread>

#include "control/control_pipe_server.h"
#include "control/pipe_server_platform.h"

namespace brumo {

void ControlPipeServer::ServerMain() {
  while (!stop_requested_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void WakePipeServer() noexcept {}

}  // namespace brumo
