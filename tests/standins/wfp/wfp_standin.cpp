// Link-time stand-in for the filter-engine seam; see wfp_standin.h.
#include "tests/standins/wfp/wfp_standin.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>

namespace brumo {
namespace wfp_standin {
namespace {

struct Object {
  Guid sublayer_key;  // a sublayer's own key, or a filter's sublayer
  wfp::EngineHandle owner;
  bool pending;
};

struct State {
  std::mutex mutex;
  // Never reset: handles and ids stay unique across tests, as they would across sessions.
  std::uintptr_t next_handle = 0x1000;
  std::uint64_t next_filter_id = 1;

  std::map<wfp::EngineHandle, bool> engines;  // handle -> dynamic
  std::map<wfp::EngineHandle, bool> in_transaction;
  std::vector<Object> sublayers;
  std::map<std::uint64_t, Object> filters;

  std::map<std::pair<Op, int>, std::uint32_t> faults;
  std::function<void(Op, int)> hook;
  std::map<Op, int> op_counts;
  int inside = 0;
  int max_inside = 0;
  std::vector<Call> calls;
  std::vector<SessionRecord> sessions;
  std::vector<SublayerRecord> sublayer_records;
  std::vector<FilterRecord> filter_records;
};

State& TheState() {
  static State state;
  return state;
}

template <typename Access>
auto Locked(Access access) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return access(state);
}

// One call of the engine: counts it, runs the hook outside the lock, then holds the lock
// until it ends. `Result` records the call's outcome.
class Entry {
 public:
  Entry(Op op, wfp::EngineHandle engine) : op_(op), engine_(engine) {
    State& state = TheState();
    std::function<void(Op, int)> hook;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      nth_ = ++state.op_counts[op];
      state.max_inside = std::max(state.max_inside, ++state.inside);
      hook = state.hook;
    }
    try {
      if (hook) hook(op, nth_);
    } catch (...) {
      Leave(state);
      throw;
    }
    lock_ = std::unique_lock<std::mutex>(state.mutex);
  }
  ~Entry() {
    lock_.unlock();
    Leave(TheState());
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  State& state() { return TheState(); }
  // The status of a fault set for this call, if any.
  std::optional<std::uint32_t> Fault() {
    const auto it = state().faults.find({op_, nth_});
    if (it == state().faults.end()) return std::nullopt;
    return it->second;
  }
  bool KnownEngine() { return state().engines.count(engine_) != 0; }
  std::uint32_t Result(std::uint32_t status, std::uint64_t filter_id = 0) {
    state().calls.push_back(Call{op_, engine_, filter_id, status});
    return status;
  }
  void SetEngine(wfp::EngineHandle engine) { engine_ = engine; }

 private:
  static void Leave(State& state) {
    std::lock_guard<std::mutex> lock(state.mutex);
    --state.inside;
  }

  Op op_;
  wfp::EngineHandle engine_;
  int nth_ = 0;
  std::unique_lock<std::mutex> lock_;
};

// Drops what `engine` added: only its pending objects, or everything it owns.
void DropObjectsOf(State& state, wfp::EngineHandle engine, bool pending_only) {
  const auto dropped = [&](const Object& o) {
    return o.owner == engine && (o.pending || !pending_only);
  };
  std::erase_if(state.sublayers, dropped);
  std::erase_if(state.filters, [&](const auto& entry) { return dropped(entry.second); });
}

// Ends `engine`'s transaction: its pending objects are kept (commit) or dropped.
void EndTransaction(State& state, wfp::EngineHandle engine, bool commit) {
  if (!commit) DropObjectsOf(state, engine, /*pending_only=*/true);
  for (Object& sublayer : state.sublayers) {
    if (sublayer.owner == engine) sublayer.pending = false;
  }
  for (auto& entry : state.filters) {
    if (entry.second.owner == engine) entry.second.pending = false;
  }
  state.in_transaction[engine] = false;
}

bool HasSublayer(const State& state, const Guid& key) {
  return std::any_of(state.sublayers.begin(), state.sublayers.end(),
                     [&](const Object& s) { return s.sublayer_key == key; });
}

// The common checks of a call on an open engine: a fault, then an unknown handle.
std::optional<std::uint32_t> Refusal(Entry& entry) {
  if (const auto fault = entry.Fault()) return fault;
  if (!entry.KnownEngine()) return kInvalidHandle;
  return std::nullopt;
}

}  // namespace

void Reset() {
  Locked([](State& s) {
    s.engines.clear();
    s.in_transaction.clear();
    s.sublayers.clear();
    s.filters.clear();
    s.faults.clear();
    s.hook = nullptr;
    s.op_counts.clear();
    s.max_inside = s.inside;
    s.calls.clear();
    s.sessions.clear();
    s.sublayer_records.clear();
    s.filter_records.clear();
  });
}

void FailAt(Op op, int nth, std::uint32_t status) {
  Locked([&](State& s) { s.faults[{op, nth}] = status; });
}
void SetHook(std::function<void(Op, int)> hook) {
  Locked([&](State& s) { s.hook = std::move(hook); });
}

std::vector<Call> Calls() {
  return Locked([](State& s) { return s.calls; });
}
std::vector<Op> Ops() {
  std::vector<Op> ops;
  for (const Call& call : Calls()) ops.push_back(call.op);
  return ops;
}
std::vector<SessionRecord> Sessions() {
  return Locked([](State& s) { return s.sessions; });
}
std::vector<SublayerRecord> Sublayers() {
  return Locked([](State& s) { return s.sublayer_records; });
}
std::vector<FilterRecord> Filters() {
  return Locked([](State& s) { return s.filter_records; });
}
int OpenHandleCount() {
  return Locked([](State& s) { return static_cast<int>(s.engines.size()); });
}
int OpenTransactionCount() {
  return Locked([](State& s) {
    return static_cast<int>(std::count_if(s.in_transaction.begin(), s.in_transaction.end(),
                                          [](const auto& e) { return e.second; }));
  });
}
std::vector<Guid> LiveSublayerKeys() {
  return Locked([](State& s) {
    std::vector<Guid> keys;
    for (const Object& sublayer : s.sublayers) keys.push_back(sublayer.sublayer_key);
    return keys;
  });
}
std::vector<std::uint64_t> LiveFilterIds() {
  return Locked([](State& s) {
    std::vector<std::uint64_t> ids;
    for (const auto& entry : s.filters) ids.push_back(entry.first);
    return ids;
  });
}
int MaxThreadsInside() {
  return Locked([](State& s) { return s.max_inside; });
}

}  // namespace wfp_standin

namespace wfp {

using wfp_standin::Entry;
using wfp_standin::Op;

std::uint32_t OpenEngine(const SessionRecord& session, EngineHandle* engine) {
  Entry entry(Op::kOpenEngine, nullptr);
  auto& state = entry.state();
  state.sessions.push_back(session);
  *engine = nullptr;
  if (const auto fault = entry.Fault()) return entry.Result(*fault);
  state.next_handle += 0x10;
  *engine = reinterpret_cast<EngineHandle>(state.next_handle);
  state.engines[*engine] = (session.flags & kFwpmSessionFlagDynamic) != 0;
  entry.SetEngine(*engine);
  return entry.Result(0);
}

std::uint32_t CloseEngine(EngineHandle engine) noexcept {
  Entry entry(Op::kCloseEngine, engine);
  auto& state = entry.state();
  if (const auto refused = wfp_standin::Refusal(entry)) return entry.Result(*refused);
  // Closing ends an open transaction as an abort would; a dynamic session takes the rest.
  wfp_standin::DropObjectsOf(state, engine, /*pending_only=*/!state.engines[engine]);
  state.engines.erase(engine);
  state.in_transaction.erase(engine);
  return entry.Result(0);
}

std::uint32_t BeginTransaction(EngineHandle engine) {
  Entry entry(Op::kBeginTransaction, engine);
  if (const auto refused = wfp_standin::Refusal(entry)) return entry.Result(*refused);
  bool& open = entry.state().in_transaction[engine];
  if (open) return entry.Result(wfp_standin::kTransactionInProgress);
  open = true;
  return entry.Result(0);
}

namespace {

// Commit and abort differ only in what becomes of the pending objects.
std::uint32_t FinishTransaction(Op op, EngineHandle engine) {
  Entry entry(op, engine);
  if (const auto refused = wfp_standin::Refusal(entry)) return entry.Result(*refused);
  if (!entry.state().in_transaction[engine]) {
    return entry.Result(wfp_standin::kNoTransactionInProgress);
  }
  wfp_standin::EndTransaction(entry.state(), engine, op == Op::kCommitTransaction);
  return entry.Result(0);
}

}  // namespace

std::uint32_t CommitTransaction(EngineHandle engine) {
  return FinishTransaction(Op::kCommitTransaction, engine);
}
std::uint32_t AbortTransaction(EngineHandle engine) noexcept {
  return FinishTransaction(Op::kAbortTransaction, engine);
}

std::uint32_t AddSublayer(EngineHandle engine, const SublayerRecord& sublayer) {
  Entry entry(Op::kAddSublayer, engine);
  auto& state = entry.state();
  state.sublayer_records.push_back(sublayer);
  if (const auto refused = wfp_standin::Refusal(entry)) return entry.Result(*refused);
  if (wfp_standin::HasSublayer(state, sublayer.key)) return entry.Result(kFwpErrorAlreadyExists);
  state.sublayers.push_back({sublayer.key, engine, state.in_transaction[engine]});
  return entry.Result(0);
}

std::uint32_t AddFilter(EngineHandle engine, const FilterRecord& filter, std::uint64_t* filter_id) {
  Entry entry(Op::kAddFilter, engine);
  auto& state = entry.state();
  state.filter_records.push_back(filter);
  *filter_id = 0;
  if (const auto refused = wfp_standin::Refusal(entry)) return entry.Result(*refused);
  if (!wfp_standin::HasSublayer(state, filter.sublayer_key)) {
    return entry.Result(wfp_standin::kSublayerNotFound);
  }
  *filter_id = state.next_filter_id++;
  state.filters[*filter_id] = {filter.sublayer_key, engine, state.in_transaction[engine]};
  return entry.Result(0, *filter_id);
}

std::uint32_t DeleteFilterById(EngineHandle engine, std::uint64_t filter_id) noexcept {
  Entry entry(Op::kDeleteFilterById, engine);
  if (const auto refused = wfp_standin::Refusal(entry)) return entry.Result(*refused, filter_id);
  if (entry.state().filters.erase(filter_id) == 0) {
    return entry.Result(wfp_standin::kFilterNotFound, filter_id);
  }
  return entry.Result(0, filter_id);
}

std::uint32_t DeleteSublayerByKey(EngineHandle engine, const Guid& key) noexcept {
  Entry entry(Op::kDeleteSublayerByKey, engine);
  auto& state = entry.state();
  if (const auto refused = wfp_standin::Refusal(entry)) return entry.Result(*refused);
  if (!wfp_standin::HasSublayer(state, key)) return entry.Result(wfp_standin::kSublayerNotFound);
  const bool in_use = std::any_of(state.filters.begin(), state.filters.end(),
                                  [&](const auto& e) { return e.second.sublayer_key == key; });
  if (in_use) return entry.Result(wfp_standin::kInUse);
  std::erase_if(state.sublayers, [&](const auto& s) { return s.sublayer_key == key; });
  return entry.Result(0);
}

}  // namespace wfp
}  // namespace brumo
