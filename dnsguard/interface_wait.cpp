#include "dnsguard/interface_wait.h"

#include <fmt/format.h>

#include "common/platform_thread.h"

namespace brumo {

std::string FormatResolveFailure(std::string_view alias, std::string_view last_message,
                                 std::int64_t waited_ms) {
  return fmt::format("Failed to resolve tunnel interface '{}': {} (waited {}ms)", alias,
                     last_message, waited_ms);
}

InterfaceIndexResult WaitForTunnelInterface(std::string_view alias) {
  // The monotonic clock only: a change of the wall-clock time must not stretch or cut the
  // wait.
  return WaitForInterface(alias, ResolveTunnelInterface, MonotonicNowNs, SleepFor);
}

}  // namespace brumo
