// Link-time stand-in for the filter-engine seam; see fake_wfp_engine.h.
#include "tests/fakes/wfp/fake_wfp_engine.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>

namespace brumo {
namespace fake_wfp {
namespace {

struct Engine {
  bool dynamic = false;
  bool in_transaction = false;
};

struct Sublayer {
  Guid key;
  wfp::EngineHandle owner;
  bool pending;
};

struct Filter {
  Guid sublayer_key;
  wfp::EngineHandle owner;
  bool pending;
};

struct Fault {
  Op op;
  int nth;
  std::uint32_t status;
};

struct State {
  std::mutex mutex;
  // Never reset: handles and ids stay unique across tests, as they would across sessions.
  std::uintptr_t next_handle = 0x1000;
  std::uint64_t next_filter_id = 1;

  std::map<wfp::EngineHandle, Engine> engines;
  std::vector<Sublayer> sublayers;
  std::map<std::uint64_t, Filter> filters;

  std::vector<Fault> faults;
  std::map<Op, int> op_counts;
  std::vector<Call> calls;
  std::vector<SessionRecord> sessions;
  std::vector<SublayerRecord> sublayer_records;
  std::vector<FilterRecord> filter_records;
};

State& TheState() {
  static State state;
  return state;
}

// Counts the call of `op` and tells whether a fault is set for it.
const Fault* CountAndFindFault(State& state, Op op) {
  const int nth = ++state.op_counts[op];
  for (const Fault& fault : state.faults) {
    if (fault.op == op && fault.nth == nth) return &fault;
  }
  return nullptr;
}

std::uint32_t Record(State& state, Op op, wfp::EngineHandle engine, std::uint64_t filter_id,
                     std::uint32_t status) {
  state.calls.push_back(Call{op, engine, filter_id, status});
  return status;
}

Engine* FindEngine(State& state, wfp::EngineHandle engine) {
  const auto it = state.engines.find(engine);
  return it == state.engines.end() ? nullptr : &it->second;
}

std::vector<Sublayer>::iterator FindSublayer(State& state, const Guid& key) {
  return std::find_if(state.sublayers.begin(), state.sublayers.end(),
                      [&](const Sublayer& s) { return s.key == key; });
}

// Drops what `engine` added: only its pending objects, or everything it owns.
void DropObjectsOf(State& state, wfp::EngineHandle engine, bool pending_only) {
  const auto dropped = [&](wfp::EngineHandle owner, bool pending) {
    return owner == engine && (pending || !pending_only);
  };
  std::erase_if(state.sublayers, [&](const Sublayer& s) { return dropped(s.owner, s.pending); });
  std::erase_if(state.filters, [&](const auto& entry) {
    return dropped(entry.second.owner, entry.second.pending);
  });
}

}  // namespace

std::string_view PlatformName(Op op) {
  switch (op) {
    case Op::kOpenEngine:
      return "FwpmEngineOpen0";
    case Op::kCloseEngine:
      return "FwpmEngineClose0";
    case Op::kBeginTransaction:
      return "FwpmTransactionBegin0";
    case Op::kCommitTransaction:
      return "FwpmTransactionCommit0";
    case Op::kAbortTransaction:
      return "FwpmTransactionAbort0";
    case Op::kAddSublayer:
      return "FwpmSubLayerAdd0";
    case Op::kAddFilter:
      return "FwpmFilterAdd0";
    case Op::kDeleteFilterById:
      return "FwpmFilterDeleteById0";
    case Op::kDeleteSublayerByKey:
      return "FwpmSubLayerDeleteByKey0";
  }
  return "?";
}

void Reset() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.engines.clear();
  state.sublayers.clear();
  state.filters.clear();
  state.faults.clear();
  state.op_counts.clear();
  state.calls.clear();
  state.sessions.clear();
  state.sublayer_records.clear();
  state.filter_records.clear();
}

void FailAt(Op op, int nth, std::uint32_t status) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.faults.push_back(Fault{op, nth, status});
}

std::vector<Call> Calls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.calls;
}

std::vector<Op> Ops() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<Op> ops;
  std::transform(state.calls.begin(), state.calls.end(), std::back_inserter(ops),
                 [](const Call& call) { return call.op; });
  return ops;
}

std::vector<SessionRecord> Sessions() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.sessions;
}

std::vector<SublayerRecord> Sublayers() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.sublayer_records;
}

std::vector<FilterRecord> Filters() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.filter_records;
}

int OpenHandleCount() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return static_cast<int>(state.engines.size());
}

int OpenTransactionCount() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return static_cast<int>(std::count_if(state.engines.begin(), state.engines.end(),
                                        [](const auto& e) { return e.second.in_transaction; }));
}

std::vector<Guid> LiveSublayerKeys() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<Guid> keys;
  for (const Sublayer& sublayer : state.sublayers) keys.push_back(sublayer.key);
  return keys;
}

std::vector<std::uint64_t> LiveFilterIds() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<std::uint64_t> ids;
  for (const auto& entry : state.filters) ids.push_back(entry.first);
  return ids;
}

}  // namespace fake_wfp

namespace wfp {

using fake_wfp::Op;
using fake_wfp::Record;
using fake_wfp::State;

std::uint32_t OpenEngine(const SessionRecord& session, EngineHandle* engine) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.sessions.push_back(session);
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kOpenEngine)) {
    *engine = nullptr;
    return Record(state, Op::kOpenEngine, nullptr, 0, fault->status);
  }
  state.next_handle += 0x10;
  const auto handle = reinterpret_cast<EngineHandle>(state.next_handle);
  state.engines[handle] = fake_wfp::Engine{(session.flags & kFwpmSessionFlagDynamic) != 0, false};
  *engine = handle;
  return Record(state, Op::kOpenEngine, handle, 0, 0);
}

std::uint32_t CloseEngine(EngineHandle engine) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kCloseEngine)) {
    return Record(state, Op::kCloseEngine, engine, 0, fault->status);
  }
  fake_wfp::Engine* open = FindEngine(state, engine);
  if (open == nullptr) return Record(state, Op::kCloseEngine, engine, 0, fake_wfp::kInvalidHandle);
  // Closing ends an open transaction as an abort would; a dynamic session takes the rest.
  DropObjectsOf(state, engine, /*pending_only=*/!open->dynamic);
  state.engines.erase(engine);
  return Record(state, Op::kCloseEngine, engine, 0, 0);
}

std::uint32_t BeginTransaction(EngineHandle engine) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kBeginTransaction)) {
    return Record(state, Op::kBeginTransaction, engine, 0, fault->status);
  }
  fake_wfp::Engine* open = FindEngine(state, engine);
  if (open == nullptr) {
    return Record(state, Op::kBeginTransaction, engine, 0, fake_wfp::kInvalidHandle);
  }
  if (open->in_transaction) {
    return Record(state, Op::kBeginTransaction, engine, 0, fake_wfp::kTransactionInProgress);
  }
  open->in_transaction = true;
  return Record(state, Op::kBeginTransaction, engine, 0, 0);
}

std::uint32_t CommitTransaction(EngineHandle engine) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kCommitTransaction)) {
    return Record(state, Op::kCommitTransaction, engine, 0, fault->status);
  }
  fake_wfp::Engine* open = FindEngine(state, engine);
  if (open == nullptr) {
    return Record(state, Op::kCommitTransaction, engine, 0, fake_wfp::kInvalidHandle);
  }
  if (!open->in_transaction) {
    return Record(state, Op::kCommitTransaction, engine, 0, fake_wfp::kNoTransactionInProgress);
  }
  for (fake_wfp::Sublayer& sublayer : state.sublayers) {
    if (sublayer.owner == engine) sublayer.pending = false;
  }
  for (auto& entry : state.filters) {
    if (entry.second.owner == engine) entry.second.pending = false;
  }
  open->in_transaction = false;
  return Record(state, Op::kCommitTransaction, engine, 0, 0);
}

std::uint32_t AbortTransaction(EngineHandle engine) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kAbortTransaction)) {
    return Record(state, Op::kAbortTransaction, engine, 0, fault->status);
  }
  fake_wfp::Engine* open = FindEngine(state, engine);
  if (open == nullptr) {
    return Record(state, Op::kAbortTransaction, engine, 0, fake_wfp::kInvalidHandle);
  }
  if (!open->in_transaction) {
    return Record(state, Op::kAbortTransaction, engine, 0, fake_wfp::kNoTransactionInProgress);
  }
  DropObjectsOf(state, engine, /*pending_only=*/true);
  open->in_transaction = false;
  return Record(state, Op::kAbortTransaction, engine, 0, 0);
}

std::uint32_t AddSublayer(EngineHandle engine, const SublayerRecord& sublayer) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.sublayer_records.push_back(sublayer);
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kAddSublayer)) {
    return Record(state, Op::kAddSublayer, engine, 0, fault->status);
  }
  const fake_wfp::Engine* open = FindEngine(state, engine);
  if (open == nullptr) return Record(state, Op::kAddSublayer, engine, 0, fake_wfp::kInvalidHandle);
  if (FindSublayer(state, sublayer.key) != state.sublayers.end()) {
    return Record(state, Op::kAddSublayer, engine, 0, kFwpErrorAlreadyExists);
  }
  state.sublayers.push_back(fake_wfp::Sublayer{sublayer.key, engine, open->in_transaction});
  return Record(state, Op::kAddSublayer, engine, 0, 0);
}

std::uint32_t AddFilter(EngineHandle engine, const FilterRecord& filter, std::uint64_t* filter_id) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.filter_records.push_back(filter);
  *filter_id = 0;
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kAddFilter)) {
    return Record(state, Op::kAddFilter, engine, 0, fault->status);
  }
  const fake_wfp::Engine* open = FindEngine(state, engine);
  if (open == nullptr) return Record(state, Op::kAddFilter, engine, 0, fake_wfp::kInvalidHandle);
  if (FindSublayer(state, filter.sublayer_key) == state.sublayers.end()) {
    return Record(state, Op::kAddFilter, engine, 0, fake_wfp::kSublayerNotFound);
  }
  const std::uint64_t id = state.next_filter_id++;
  state.filters[id] = fake_wfp::Filter{filter.sublayer_key, engine, open->in_transaction};
  *filter_id = id;
  return Record(state, Op::kAddFilter, engine, id, 0);
}

std::uint32_t DeleteFilterById(EngineHandle engine, std::uint64_t filter_id) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kDeleteFilterById)) {
    return Record(state, Op::kDeleteFilterById, engine, filter_id, fault->status);
  }
  if (FindEngine(state, engine) == nullptr) {
    return Record(state, Op::kDeleteFilterById, engine, filter_id, fake_wfp::kInvalidHandle);
  }
  if (state.filters.erase(filter_id) == 0) {
    return Record(state, Op::kDeleteFilterById, engine, filter_id, fake_wfp::kFilterNotFound);
  }
  return Record(state, Op::kDeleteFilterById, engine, filter_id, 0);
}

std::uint32_t DeleteSublayerByKey(EngineHandle engine, const Guid& key) {
  State& state = fake_wfp::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (const fake_wfp::Fault* fault = CountAndFindFault(state, Op::kDeleteSublayerByKey)) {
    return Record(state, Op::kDeleteSublayerByKey, engine, 0, fault->status);
  }
  if (FindEngine(state, engine) == nullptr) {
    return Record(state, Op::kDeleteSublayerByKey, engine, 0, fake_wfp::kInvalidHandle);
  }
  const auto it = FindSublayer(state, key);
  if (it == state.sublayers.end()) {
    return Record(state, Op::kDeleteSublayerByKey, engine, 0, fake_wfp::kSublayerNotFound);
  }
  const bool in_use = std::any_of(state.filters.begin(), state.filters.end(),
                                  [&](const auto& e) { return e.second.sublayer_key == key; });
  if (in_use) return Record(state, Op::kDeleteSublayerByKey, engine, 0, fake_wfp::kInUse);
  state.sublayers.erase(it);
  return Record(state, Op::kDeleteSublayerByKey, engine, 0, 0);
}

}  // namespace wfp
}  // namespace brumo
