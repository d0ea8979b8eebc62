#include "dnsguard/dns_leak_guard.h"

#include <fmt/format.h>

#include <utility>

#include "dnsguard/dns_filters.h"
#include "dnsguard/failure_text.h"
#include "dnsguard/interface_wait.h"
#include "dnsguard/wfp_engine.h"

namespace brumo {

DnsLeakGuard::DnsLeakGuard() = default;

DnsLeakGuard::~DnsLeakGuard() {
  if (engine_ == nullptr) return;
  try {
    RemoveAll();
  } catch (...) {
    // A destructor must not throw; the dynamic session still takes every object with it
    // when the process ends.
  }
}

OpResult DnsLeakGuard::Enable(std::string_view alias) {
  // Already enabled: the filters keep matching the index found the first time.
  if (engine_ != nullptr && if_index_ != 0) return OpResult::Success();

  InterfaceIndexResult found = WaitForTunnelInterface(alias);
  if (!found.ok) return OpResult::Failure(std::move(found.message));
  if_index_ = found.index;

  if (engine_ == nullptr) {
    wfp::EngineHandle handle = nullptr;
    const std::uint32_t status = wfp::OpenEngine(MakeSessionRecord(), &handle);
    if (status != 0 || handle == nullptr) {
      // Whatever a failed open left in the handle is not ours to close.
      if_index_ = 0;
      return OpResult::Failure(FormatFailure("FwpmEngineOpen0", status));
    }
    engine_ = handle;
  }

  if (const std::uint32_t status = wfp::BeginTransaction(engine_); status != 0) {
    CloseEngine();
    if_index_ = 0;
    return OpResult::Failure(FormatFailure("FwpmTransactionBegin0", status));
  }

  if (!sublayer_added_) {
    const std::uint32_t status = wfp::AddSublayer(engine_, MakeSublayerRecord());
    // A sublayer left by an earlier session under the same key serves as well.
    if (status != 0 && status != kFwpErrorAlreadyExists) {
      OpResult failure = OpResult::Failure(FormatFailure("FwpmSubLayerAdd0", status));
      RollBack();
      return failure;
    }
    sublayer_added_ = true;
  }

  for (const Guid& layer : kDnsFilterLayers) {
    OpResult added = AddLayerFilters(layer);
    if (!added.ok) {
      RollBack();
      return added;
    }
  }

  if (const std::uint32_t status = wfp::CommitTransaction(engine_); status != 0) {
    // A failed commit leaves the transaction open: the rollback still aborts it.
    RollBack();
    return OpResult::Failure(FormatFailure("FwpmTransactionCommit0", status));
  }
  return OpResult::Success();
}

OpResult DnsLeakGuard::Disable() {
  if (engine_ == nullptr) return OpResult::Success();
  RemoveAll();
  return OpResult::Success();
}

DnsLeakGuard::FilterAddResult DnsLeakGuard::AddFilter(const FilterRecord& filter) {
  std::uint64_t id = 0;
  const std::uint32_t status = wfp::AddFilter(engine_, filter, &id);
  if (status != 0) return {0, fmt::format("FwpmFilterAdd0 failed ({})", status), false};
  return {id, std::string(), true};
}

OpResult DnsLeakGuard::AddDnsFilterPair(const Guid& layer, const DnsFilterRule& rule) {
  FilterAddResult permit = AddFilter(BuildPermitFilter(layer, rule, if_index_));
  if (!permit.ok) {
    return OpResult::Failure(fmt::format("Failed to add allow filter: {}", permit.message));
  }
  filter_ids_.push_back(permit.filter_id);

  FilterAddResult block = AddFilter(BuildBlockFilter(layer, rule));
  if (!block.ok) {
    // The permit filter's id stays recorded until the rollback forgets it.
    return OpResult::Failure(fmt::format("Failed to add block filter: {}", block.message));
  }
  filter_ids_.push_back(block.filter_id);
  return OpResult::Success();
}

OpResult DnsLeakGuard::AddLayerFilters(const Guid& layer) {
  for (const DnsFilterRule& rule : kDnsFilterRules) {
    OpResult added = AddDnsFilterPair(layer, rule);
    if (!added.ok) return added;
  }
  return OpResult::Success();
}

void DnsLeakGuard::RollBack() {
  static_cast<void>(wfp::AbortTransaction(engine_));
  CloseEngine();
  if_index_ = 0;
  // The aborted transaction added nothing that lasts, so there is nothing to delete.
  filter_ids_.clear();
  sublayer_added_ = false;
}

void DnsLeakGuard::RemoveAll() {
  // Front to back, the order they were added; a failed deletion does not stop the rest.
  for (const std::uint64_t id : filter_ids_) {
    static_cast<void>(wfp::DeleteFilterById(engine_, id));
  }
  filter_ids_.clear();
  if (sublayer_added_) {
    static_cast<void>(wfp::DeleteSublayerByKey(engine_, kDnsSublayerKey));
    sublayer_added_ = false;
  }
  CloseEngine();
  if_index_ = 0;
}

void DnsLeakGuard::CloseEngine() {
  if (engine_ == nullptr) return;
  static_cast<void>(wfp::CloseEngine(engine_));
  engine_ = nullptr;
}

}  // namespace brumo
