// Link-time stand-in for the filter-engine seam; see wfp_standin.h.
#include "tests/standins/wfp/wfp_standin.h"

#include <algorithm>
#include <set>

#include "common/scope_exit.h"
#include "tests/standins/guarded.h"

namespace brumo {
namespace wfp_standin {
namespace {

using Refusal = std::optional<std::uint32_t>;

// A live sublayer (filter_id 0) or filter (with its sublayer's key).
struct Object {
  Guid key;
  std::uint64_t filter_id;
  wfp::EngineHandle owner;
  bool pending;
};

struct State {
  std::map<wfp::EngineHandle, bool> engines;  // handle -> dynamic
  std::set<wfp::EngineHandle> in_transaction;
  std::vector<Object> objects;  // in order of addition, so filter ids ascend
  standins::CallCounter<Op> counter;
  std::function<void(Op, int)> hook;
  int inside = 0;
  Record record;
};

// Never reset, guarded by the state's mutex: handles and ids stay unique across tests, as
// they would across sessions.
std::uintptr_t g_last_handle = 0x1000;
std::uint64_t g_last_filter_id = 0;

auto& The() { return standins::TheState<State>(); }

// One call of the engine: counts it and runs the hook outside the lock, then, under the
// lock, `body(state, call, refusal)`, where `refusal` is the status of a fault set for this
// call or, but for an open, of an unknown handle. The call is recorded as `body` leaves it
// with the status it returns.
template <typename Body>
std::uint32_t Enter(Op op, wfp::EngineHandle engine, Body body) {
  std::function<void(Op, int)> hook;
  const int nth = The()([&](State& s) {
    s.record.max_threads_inside = std::max(s.record.max_threads_inside, ++s.inside);
    hook = s.hook;
    return s.counter.Count(op);
  });
  const ScopeExit leave([] { The()([](State& s) { --s.inside; }); });
  if (hook) hook(op, nth);
  return The()([&](State& s) {
    Call call{op, engine, 0, 0};
    Refusal refusal = s.counter.Fault(op, nth);
    if (!refusal && op != Op::kOpenEngine && !s.engines.contains(engine)) refusal = kInvalidHandle;
    call.status = body(s, call, refusal);
    s.record.calls.push_back(call);
    s.record.ops.push_back(op);
    return call.status;
  });
}

// Drops what `engine` added: only its pending objects, or everything it owns.
void DropObjectsOf(State& s, wfp::EngineHandle engine, bool pending_only) {
  std::erase_if(s.objects,
                [&](const Object& o) { return o.owner == engine && (o.pending || !pending_only); });
}

bool Has(const State& s, const Guid& key, bool filter) {
  return std::any_of(s.objects.begin(), s.objects.end(),
                     [&](const Object& o) { return o.key == key && (o.filter_id != 0) == filter; });
}

// Commit and abort differ only in what becomes of the pending objects.
std::uint32_t FinishTransaction(Op op, wfp::EngineHandle engine) {
  return Enter(op, engine, [&](State& s, Call&, Refusal refusal) -> std::uint32_t {
    if (refusal) return *refusal;
    if (s.in_transaction.erase(engine) == 0) return kNoTransactionInProgress;
    if (op == Op::kAbortTransaction) DropObjectsOf(s, engine, /*pending_only=*/true);
    for (Object& o : s.objects) o.pending = o.pending && o.owner != engine;
    return 0;
  });
}

// The record with its live state; with its history too when `history`, else its last call.
Record Snapshot(bool history) {
  return The()([history](State& s) {
    Record r = history ? s.record : Record{};
    if (!history && !s.record.calls.empty()) r.calls = {s.record.calls.back()};
    r.open_handles = static_cast<int>(s.engines.size());
    r.open_transactions = static_cast<int>(s.in_transaction.size());
    for (const Object& o : s.objects) {
      if (o.filter_id == 0) r.live_sublayer_keys.push_back(o.key);
      if (o.filter_id != 0) r.live_filter_ids.push_back(o.filter_id);
    }
    return r;
  });
}

}  // namespace

void Reset() {
  The()([](State& s) {
    const int inside = s.inside;
    s = State();
    s.inside = s.record.max_threads_inside = inside;
  });
}

void FailAt(Op op, int nth, std::uint32_t status) {
  The()([&](State& s) { s.counter.faults[{op, nth}] = status; });
}
void SetHook(std::function<void(Op, int)> hook) { The().Set(&State::hook, std::move(hook)); }

Record Recorded() { return Snapshot(true); }
Record Live() { return Snapshot(false); }

}  // namespace wfp_standin

namespace wfp {

using namespace wfp_standin;

std::uint32_t OpenEngine(const SessionRecord& session, EngineHandle* engine) {
  return Enter(Op::kOpenEngine, nullptr, [&](State& s, Call& call, Refusal refusal) {
    s.record.sessions.push_back(session);
    *engine = nullptr;
    if (refusal) return *refusal;
    *engine = call.engine = reinterpret_cast<EngineHandle>(g_last_handle += 0x10);
    s.engines[*engine] = (session.flags & kFwpmSessionFlagDynamic) != 0;
    return std::uint32_t{0};
  });
}

std::uint32_t CloseEngine(EngineHandle engine) noexcept {
  return Enter(Op::kCloseEngine, engine, [&](State& s, Call&, Refusal refusal) {
    if (refusal) return *refusal;
    // Closing ends an open transaction as an abort would; a dynamic session takes the rest.
    DropObjectsOf(s, engine, /*pending_only=*/!s.engines[engine]);
    s.engines.erase(engine);
    s.in_transaction.erase(engine);
    return std::uint32_t{0};
  });
}

std::uint32_t BeginTransaction(EngineHandle engine) {
  return Enter(Op::kBeginTransaction, engine, [&](State& s, Call&, Refusal refusal) {
    if (refusal) return *refusal;
    return s.in_transaction.insert(engine).second ? 0 : kTransactionInProgress;
  });
}

std::uint32_t CommitTransaction(EngineHandle engine) {
  return FinishTransaction(Op::kCommitTransaction, engine);
}
std::uint32_t AbortTransaction(EngineHandle engine) noexcept {
  return FinishTransaction(Op::kAbortTransaction, engine);
}

std::uint32_t AddSublayer(EngineHandle engine, const SublayerRecord& sublayer) {
  return Enter(Op::kAddSublayer, engine, [&](State& s, Call&, Refusal refusal) {
    s.record.sublayers.push_back(sublayer);
    if (refusal) return *refusal;
    if (Has(s, sublayer.key, false)) return kFwpErrorAlreadyExists;
    s.objects.push_back({sublayer.key, 0, engine, s.in_transaction.contains(engine)});
    return std::uint32_t{0};
  });
}

std::uint32_t AddFilter(EngineHandle engine, const FilterRecord& filter, std::uint64_t* filter_id) {
  return Enter(Op::kAddFilter, engine, [&](State& s, Call& call, Refusal refusal) {
    s.record.filters.push_back(filter);
    *filter_id = 0;
    if (refusal) return *refusal;
    if (!Has(s, filter.sublayer_key, false)) return kSublayerNotFound;
    *filter_id = call.filter_id = ++g_last_filter_id;
    s.objects.push_back(
        {filter.sublayer_key, *filter_id, engine, s.in_transaction.contains(engine)});
    return std::uint32_t{0};
  });
}

std::uint32_t DeleteFilterById(EngineHandle engine, std::uint64_t filter_id) noexcept {
  return Enter(Op::kDeleteFilterById, engine, [&](State& s, Call& call, Refusal refusal) {
    call.filter_id = filter_id;
    if (refusal) return *refusal;
    const auto deleted = std::erase_if(
        s.objects, [&](const Object& o) { return o.filter_id != 0 && o.filter_id == filter_id; });
    return deleted == 0 ? kFilterNotFound : 0;
  });
}

std::uint32_t DeleteSublayerByKey(EngineHandle engine, const Guid& key) noexcept {
  return Enter(Op::kDeleteSublayerByKey, engine, [&](State& s, Call&, Refusal refusal) {
    if (refusal) return *refusal;
    if (!Has(s, key, false)) return kSublayerNotFound;
    if (Has(s, key, true)) return kInUse;
    std::erase_if(s.objects, [&](const Object& o) { return o.key == key; });
    return std::uint32_t{0};
  });
}

}  // namespace wfp
}  // namespace brumo
