// Control of the in-memory filter engine (wfp_standin.cpp), which defines the functions of
// dnsguard/wfp_engine.h for tests.
//
// It records every call and every submitted record in order and keeps the live objects
// the way the platform does:
// - each open gives a fresh non-null handle; an unknown handle fails with
//   ERROR_INVALID_HANDLE;
// - at most one transaction per handle; additions made in it are pending until the commit
//   and dropped by the abort; a failed commit leaves the transaction open;
// - a sublayer key exists once (FWP_E_ALREADY_EXISTS); a filter needs its sublayer
//   (FWP_E_SUBLAYER_NOT_FOUND); a sublayer with filters cannot be deleted (FWP_E_IN_USE);
// - closing a handle aborts its open transaction and, for a dynamic session, deletes
//   every object added under it;
// - filter ids grow across the whole run and are never reused.
// A fault makes the Nth call of one operation return a chosen status and do nothing else
// (a faulted open leaves the handle null, so a fault with status 0 is an open that
// "succeeds" without a handle). A hook runs at the start of every call, on the caller's
// thread and outside the stand-in's lock: it may hold the caller there or throw (the
// exception leaves the call, which then has done nothing and recorded nothing).
//
// State is process-wide. All functions are thread-safe. Reset between tests. The stand-in
// fwpuclnt.dll (tests/standins/fwpuclnt_dll) is built over this same engine.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "dnsguard/wfp_engine.h"
#include "dnsguard/wfp_records.h"

namespace brumo::wfp_standin {

inline constexpr std::uint32_t kInvalidHandle = 6;              // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t kFilterNotFound = 0x80320003;    // FWP_E_FILTER_NOT_FOUND
inline constexpr std::uint32_t kSublayerNotFound = 0x80320007;  // FWP_E_SUBLAYER_NOT_FOUND
inline constexpr std::uint32_t kInUse = 0x8032000A;             // FWP_E_IN_USE
inline constexpr std::uint32_t kNoTransactionInProgress = 0x8032000D;
inline constexpr std::uint32_t kTransactionInProgress = 0x8032000E;

enum class Op {
  kOpenEngine,
  kCloseEngine,
  kBeginTransaction,
  kCommitTransaction,
  kAbortTransaction,
  kAddSublayer,
  kAddFilter,
  kDeleteFilterById,
  kDeleteSublayerByKey,
};

struct Call {
  Op op;
  wfp::EngineHandle engine;  // the handle passed, or the one an open gave
  std::uint64_t filter_id;   // given by an add, or passed to a delete; else 0
  std::uint32_t status;      // what the call returned
};

// No objects, handles, faults or hook; nothing recorded. Ids keep growing.
void Reset();

// The `nth` call (counted from 1 since Reset) of `op` returns `status` and does nothing.
void FailAt(Op op, int nth, std::uint32_t status);
// `hook(op, nth)` at the start of each call (`nth` counted from 1 since Reset per op); null
// for none. The hook of CloseEngine must not throw (the close is noexcept).
void SetHook(std::function<void(Op op, int nth)> hook);

// What the engine saw since Reset, and its live state: objects committed or pending in an
// open transaction.
struct Record {
  std::vector<Call> calls;
  std::vector<Op> ops;  // the calls' operations
  // Records submitted to the opens, sublayer adds and filter adds, in call order, including
  // those of failed calls.
  std::vector<SessionRecord> sessions;
  std::vector<SublayerRecord> sublayers;
  std::vector<FilterRecord> filters;
  int open_handles = 0;
  int open_transactions = 0;
  std::vector<Guid> live_sublayer_keys;
  std::vector<std::uint64_t> live_filter_ids;  // ascending
  // The most threads that were inside calls of the engine (hooks included) at once since
  // Reset. The guard is not thread-safe: its callers must keep this at 1.
  int max_threads_inside = 0;
};
Record Recorded();
// The live state (the counts, live keys and ids) and, in `calls`, the last call alone:
// cheap enough to read after every call.
Record Live();

}  // namespace brumo::wfp_standin
