#include "tunnel/thread_launch.h"

#include <utility>

namespace brumo {

std::thread LaunchThread(std::function<void()> body) { return std::thread(std::move(body)); }

}  // namespace brumo
