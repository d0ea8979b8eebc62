#include "dnsguard/dns_leak_guard.h"

#include <fmt/format.h>

#include <utility>

#include "common/failure_text.h"
#include "common/scope_exit.h"
#include "dnsguard/dns_filters.h"
#include "dnsguard/interface_wait.h"

namespace brumo {
namespace {

// The text of a filter that could not be added, by the kind of filter it is.
std::string FilterAddFailure(const FilterRecord& filter, std::uint32_t status) {
  const std::string added = FormatFailure("FwpmFilterAdd0", status, StatusStyle::kParenthesised);
  if (filter.action_type == kFwpActionPermit) {
    return fmt::format("Failed to add allow filter: {}", added);
  }
  return fmt::format("Failed to add block filter: {}", added);
}

}  // namespace

DnsLeakGuard::DnsLeakGuard() = default;

// The dynamic session would take every object along anyway when the process ends; the
// deletions make that happen now.
DnsLeakGuard::~DnsLeakGuard() { RemoveAll(); }

OpResult DnsLeakGuard::Enable(std::string_view alias) {
  // Already enabled: the filters keep matching the index found the first time.
  if (engine_ && if_index_ != 0) return OpResult::Success();

  InterfaceIndexResult found = WaitForTunnelInterface(alias);
  if (!found.ok) return OpResult::Failure(std::move(found.message));

  if (!engine_) {
    const std::uint32_t status = wfp::OpenEngine(MakeSessionRecord(), engine_.put());
    if (status != 0 || !engine_) {
      // Whatever a failed open left in the handle is not ours to close.
      static_cast<void>(engine_.release());
      return OpResult::Failure(FormatFailure("FwpmEngineOpen0", status));
    }
  }
  // Only with the engine open, so that an open that throws leaves the guard idle.
  if_index_ = found.index;

  if (const std::uint32_t status = wfp::BeginTransaction(engine_.get()); status != 0) {
    engine_.reset();
    if_index_ = 0;
    return OpResult::Failure(FormatFailure("FwpmTransactionBegin0", status));
  }

  // From here to the commit a transaction is open. Every way out but the commit, an
  // exception included (the table and the texts allocate), ends it with the rollback.
  ScopeExit open_transaction([this] { RollBack(); });

  if (!sublayer_added_) {
    const std::uint32_t status = wfp::AddSublayer(engine_.get(), MakeSublayerRecord());
    // A sublayer left by an earlier session under the same key serves as well.
    if (status != 0 && status != kFwpErrorAlreadyExists) {
      return OpResult::Failure(FormatFailure("FwpmSubLayerAdd0", status));
    }
    sublayer_added_ = true;
  }

  // Exactly the table that BuildDnsFilters describes, in its order.
  const std::vector<FilterRecord> filters = BuildDnsFilters(if_index_);
  filter_ids_.reserve(filters.size());
  for (const FilterRecord& filter : filters) {
    std::uint64_t id = 0;
    if (const std::uint32_t status = wfp::AddFilter(engine_.get(), filter, &id); status != 0) {
      return OpResult::Failure(FilterAddFailure(filter, status));
    }
    filter_ids_.push_back(id);
  }

  // A failed commit leaves the transaction open: the rollback still aborts it.
  if (const std::uint32_t status = wfp::CommitTransaction(engine_.get()); status != 0) {
    return OpResult::Failure(FormatFailure("FwpmTransactionCommit0", status));
  }
  open_transaction.Dismiss();
  return OpResult::Success();
}

OpResult DnsLeakGuard::Disable() {
  RemoveAll();
  return OpResult::Success();
}

void DnsLeakGuard::RollBack() noexcept {
  static_cast<void>(wfp::AbortTransaction(engine_.get()));
  engine_.reset();
  if_index_ = 0;
  // The aborted transaction added nothing that lasts, so there is nothing to delete.
  filter_ids_.clear();
  sublayer_added_ = false;
}

void DnsLeakGuard::RemoveAll() noexcept {
  if (!engine_) return;
  // Front to back, the order they were added; a failed deletion does not stop the rest.
  for (const std::uint64_t id : filter_ids_) {
    static_cast<void>(wfp::DeleteFilterById(engine_.get(), id));
  }
  filter_ids_.clear();
  if (sublayer_added_) {
    static_cast<void>(wfp::DeleteSublayerByKey(engine_.get(), kDnsSublayerKey));
    sublayer_added_ = false;
  }
  engine_.reset();
  if_index_ = 0;
}

}  // namespace brumo
