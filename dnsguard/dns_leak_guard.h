// The DNS leak guard: while enabled, Windows Filtering Platform filters let outbound DNS
// (UDP/53, TCP/53, TCP/853) leave only through the tunnel interface.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tunnel/op_result.h"

namespace brumo {

class DnsLeakGuard {
 public:
  DnsLeakGuard();  // idle; no platform call
  // Removes whatever the guard still has in the filter engine. Never throws.
  ~DnsLeakGuard();

  DnsLeakGuard(const DnsLeakGuard&) = delete;
  DnsLeakGuard& operator=(const DnsLeakGuard&) = delete;

  // Waits for the interface `alias` to exist, then adds the sublayer and the twelve
  // filters in one transaction. Success at once when already enabled.
  OpResult Enable(std::string_view alias);
  // Deletes the filters and the sublayer and closes the engine. Always succeeds.
  OpResult Disable();

  // Not thread-safe: callers keep Enable, Disable and destruction from overlapping.
};

}  // namespace brumo
