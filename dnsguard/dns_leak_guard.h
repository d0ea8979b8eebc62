// The DNS leak guard: while enabled, Windows Filtering Platform filters let outbound DNS
// (UDP/53, TCP/53, TCP/853) leave only through the tunnel interface.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/op_result.h"
#include "dnsguard/wfp_engine.h"

namespace brumo {

class DnsLeakGuard {
 public:
  DnsLeakGuard();  // idle; no platform call
  // Removes whatever the guard still has in the filter engine. Never throws.
  ~DnsLeakGuard();

  DnsLeakGuard(const DnsLeakGuard&) = delete;
  DnsLeakGuard& operator=(const DnsLeakGuard&) = delete;

  // Waits for the interface `alias` to exist, then adds the sublayer and the twelve
  // filters of BuildDnsFilters in one transaction. Success at once when already enabled.
  // A failure leaves the guard idle with nothing of it in the engine. An exception (out
  // of memory) does too: the transaction is aborted and the engine closed on its way out.
  OpResult Enable(std::string_view alias);
  // Deletes the filters and the sublayer and closes the engine. Always succeeds.
  OpResult Disable();

  // Not thread-safe: callers keep Enable, Disable and destruction from overlapping.

 private:
  // Gives up an unfinished Enable: aborts the transaction and closes the engine, whose
  // dynamic session takes nothing with it since the aborted transaction left nothing.
  void RollBack() noexcept;
  // Deletes the filters and the sublayer outside any transaction and closes the engine;
  // every status is ignored.
  void RemoveAll() noexcept;

  ScopedFilterEngine engine_;
  std::uint32_t if_index_ = 0;
  bool sublayer_added_ = false;
  std::vector<std::uint64_t> filter_ids_;
};

}  // namespace brumo
