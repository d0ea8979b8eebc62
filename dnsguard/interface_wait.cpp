#include "dnsguard/interface_wait.h"

#include <fmt/format.h>

#include <thread>

namespace brumo {

std::string FormatResolveFailure(std::string_view alias, std::string_view last_message,
                                 std::int64_t waited_ms) {
  return fmt::format("Failed to resolve tunnel interface '{}': {} (waited {}ms)", alias,
                     last_message, waited_ms);
}

InterfaceIndexResult WaitForTunnelInterface(std::string_view alias) {
  // steady_clock only: a change of the wall-clock time must not stretch or cut the wait.
  const auto now_ns = [] {
    return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
  };
  const auto sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
  return WaitForInterface(alias, ResolveTunnelInterface, now_ns, sleep);
}

}  // namespace brumo
