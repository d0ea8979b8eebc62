// Host stand-in for the server loop: there is no named pipe off Windows, so the thread
// only waits for its stop request.
#include <chrono>
#include <thread>

#include "control/control_pipe_server.h"

namespace brumo {

void ControlPipeServer::ServerMain() {
  while (!stop_requested_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace brumo
