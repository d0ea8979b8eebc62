// The DNS leak guard: while enabled, Windows Filtering Platform filters let outbound DNS
// (UDP/53, TCP/53, TCP/853) leave only through the tunnel interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tunnel/op_result.h"

namespace brumo {

struct DnsFilterRule;
struct FilterRecord;
struct Guid;

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

 private:
  struct FilterAddResult {
    std::uint64_t filter_id = 0;  // 0 on failure
    std::string message;          // empty on success
    bool ok = false;
  };

  FilterAddResult AddFilter(const FilterRecord& filter);
  OpResult AddDnsFilterPair(const Guid& layer, const DnsFilterRule& rule);
  OpResult AddLayerFilters(const Guid& layer);
  // Gives up an unfinished Enable: aborts the transaction and closes the engine, whose
  // dynamic session takes nothing with it since the aborted transaction left nothing.
  void RollBack();
  // Deletes the filters and the sublayer outside any transaction and closes the engine;
  // every status is ignored.
  void RemoveAll();
  void CloseEngine();

  // The engine handle is owned here and closed only by CloseEngine(); null when closed.
  // A raw handle rather than an owner type, so that stand-ins of this class need no
  // engine to link.
  void* engine_ = nullptr;
  std::uint32_t if_index_ = 0;
  bool sublayer_added_ = false;
  std::vector<std::uint64_t> filter_ids_;
};

}  // namespace brumo
