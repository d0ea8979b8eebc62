// Waiting for the tunnel interface: tun2proxy creates the adapter on its own thread, so
// it may not exist yet when the guard is enabled. The lookup is repeated every 50 ms for
// up to 4 s of a monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "dnsguard/interface_lookup.h"

namespace brumo {

inline constexpr std::chrono::milliseconds kResolvePollInterval{50};
inline constexpr std::chrono::nanoseconds kResolveTimeout{4'000'000'000};

// "Failed to resolve tunnel interface '<alias>': <last message> (waited <ms>ms)".
std::string FormatResolveFailure(std::string_view alias, std::string_view last_message,
                                 std::int64_t waited_ms);

// The wait over any lookup and any monotonic clock:
//   lookup(alias)  -> InterfaceIndexResult, one lookup;
//   now_ns()       -> std::int64_t, the clock's reading in nanoseconds;
//   sleep(d)       -> pauses for at least the std::chrono::milliseconds d.
// A first lookup that succeeds is returned without reading the clock. Otherwise only the
// last lookup's result counts; when the time is up the failure names `alias` as given and
// the whole milliseconds waited (at least 4000).
template <typename Lookup, typename NowNs, typename Sleep>
InterfaceIndexResult WaitForInterface(std::string_view alias, Lookup&& lookup, NowNs&& now_ns,
                                      Sleep&& sleep) {
  InterfaceIndexResult result = lookup(alias);
  if (result.ok) return result;
  const std::int64_t start = now_ns();
  // The elapsed time is tested before each pause, so one more pause and lookup follow the
  // last test that found less than the time-out.
  while (!result.ok) {
    if (now_ns() - start >= kResolveTimeout.count()) break;
    sleep(kResolvePollInterval);
    result = lookup(alias);
  }
  const std::int64_t end = now_ns();
  if (result.ok) return result;
  return InterfaceIndexResult{
      0, FormatResolveFailure(alias, result.message, (end - start) / 1'000'000), false};
}

// The production wait: ResolveTunnelInterface, MonotonicNowNs and SleepFor.
// Blocks the calling thread for up to a little over 4 s. Thread-safe.
InterfaceIndexResult WaitForTunnelInterface(std::string_view alias);

}  // namespace brumo
