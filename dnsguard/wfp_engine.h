// Link-time seam to the Windows Filtering Platform's management engine (fwpuclnt). The
// product binds wfp_engine_win.cpp, which turns the records into FWPM_* structures and
// makes the calls; tests bind an in-memory engine. Each function is one platform call and
// returns its status (0 on success) unchanged; none of them throws for a failed call.
// Thread-safety is the platform's: one engine handle must not be used by two threads at
// once.
#pragma once

#include <cstdint>

#include "common/scoped_resource.h"
#include "dnsguard/wfp_records.h"

namespace brumo {
namespace wfp {

using EngineHandle = void*;  // a HANDLE; null when none

// FwpmEngineOpen0 on the local machine with RPC_C_AUTHN_WINNT and no identity. Stores the
// handle the platform gives, or null, in `*engine`.
std::uint32_t OpenEngine(const SessionRecord& session, EngineHandle* engine);
// FwpmEngineClose0. Objects added under a dynamic session go with it. Keeps the thread's
// last error.
std::uint32_t CloseEngine(EngineHandle engine) noexcept;
// FwpmTransactionBegin0 with flags 0 (read-write).
std::uint32_t BeginTransaction(EngineHandle engine);
// FwpmTransactionCommit0.
std::uint32_t CommitTransaction(EngineHandle engine);
// FwpmTransactionAbort0: the transaction's additions are dropped.
std::uint32_t AbortTransaction(EngineHandle engine) noexcept;
// FwpmSubLayerAdd0 with no security descriptor.
std::uint32_t AddSublayer(EngineHandle engine, const SublayerRecord& sublayer);
// FwpmFilterAdd0 with no security descriptor. Stores the run-time id in `*filter_id`
// (set to 0 before the call).
std::uint32_t AddFilter(EngineHandle engine, const FilterRecord& filter, std::uint64_t* filter_id);
// FwpmFilterDeleteById0.
std::uint32_t DeleteFilterById(EngineHandle engine, std::uint64_t filter_id) noexcept;
// FwpmSubLayerDeleteByKey0.
std::uint32_t DeleteSublayerByKey(EngineHandle engine, const Guid& key) noexcept;

struct FilterEngineTraits {
  using Value = EngineHandle;
  static Value Invalid() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  // The status is ignored: a handle is gone after its close, whatever it reports.
  static void Close(Value v) noexcept { static_cast<void>(CloseEngine(v)); }
};

}  // namespace wfp

// An engine session handle; its dynamic session takes every object added under it along
// when it is closed.
using ScopedFilterEngine = ScopedResource<wfp::FilterEngineTraits>;

}  // namespace brumo
