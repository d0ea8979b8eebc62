#include "dnsguard/dns_leak_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "dnsguard/dns_filters.h"
#include "tests/dnsguard/record_printers.h"
#include "tests/standins/standins.h"

namespace brumo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using wfp_standin::Op;

using standins::kTunnelIndex;

std::vector<Op> Repeat(Op op, int times) { return std::vector<Op>(times, op); }

std::vector<Op> Concat(std::initializer_list<std::vector<Op>> parts) {
  std::vector<Op> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const std::vector<Op> kEnableOps =
    Concat({{Op::kOpenEngine, Op::kBeginTransaction, Op::kAddSublayer},
            Repeat(Op::kAddFilter, 12),
            {Op::kCommitTransaction}});
const std::vector<Op> kDisableOps =
    Concat({Repeat(Op::kDeleteFilterById, 12), {Op::kDeleteSublayerByKey, Op::kCloseEngine}});

std::vector<std::uint64_t> IdsOf(const std::vector<wfp_standin::Call>& calls, Op op) {
  std::vector<std::uint64_t> ids;
  for (const wfp_standin::Call& call : calls) {
    if (call.op == op) ids.push_back(call.filter_id);
  }
  return ids;
}

std::vector<Op> OpsOf(const std::vector<wfp_standin::Call>& calls) {
  std::vector<Op> ops;
  for (const wfp_standin::Call& call : calls) ops.push_back(call.op);
  return ops;
}

// The calls recorded from the `first` on.
std::vector<wfp_standin::Call> CallsFrom(std::size_t first) {
  const std::vector<wfp_standin::Call> all = wfp_standin::Recorded().calls;
  return {all.begin() + static_cast<long>(first), all.end()};
}

std::vector<wfp::EngineHandle> HandlesOf(const std::vector<wfp_standin::Call>& calls) {
  std::vector<wfp::EngineHandle> handles;
  for (const wfp_standin::Call& call : calls) handles.push_back(call.engine);
  return handles;
}

// Nothing of the guard is left in the engine.
void ExpectEngineEmpty() {
  EXPECT_EQ(wfp_standin::Recorded().open_handles, 0);
  EXPECT_EQ(wfp_standin::Recorded().open_transactions, 0);
  EXPECT_THAT(wfp_standin::Recorded().live_sublayer_keys, IsEmpty());
  EXPECT_THAT(wfp_standin::Recorded().live_filter_ids, IsEmpty());
}

class DnsLeakGuardTest : public ::testing::Test {
 protected:
  // The adapter "brumotun" at kTunnelIndex; on the virtual clock, so that the 4 s wait for a
  // missing adapter passes in no real time.
  standins::Scope stand_ins_;
};

// Whatever the index found, Enable submits the session, the sublayer and exactly the table of
// that index, in one transaction on one handle. Enabled, it looks nothing up and calls
// nothing again, so a new index is not picked up.
TEST_F(DnsLeakGuardTest, EnableSubmitsTheTableOfTheIndexFoundOnce) {
  for (const std::uint32_t index : {1u, kTunnelIndex, 0xFFFFFFFFu}) {
    SCOPED_TRACE(index);
    const standins::Scope case_stand_ins;
    interfaces_standin::SetInterface("brumotun", index);
    DnsLeakGuard guard;
    EXPECT_THAT(wfp_standin::Recorded().calls, IsEmpty());  // construction touches nothing

    const OpResult r = guard.Enable("brumotun");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.message, "");
    const wfp_standin::Record enabled = wfp_standin::Recorded();
    EXPECT_EQ(interfaces_standin::LookedUpAliases(), std::vector<std::string>{"brumotun"});
    EXPECT_EQ(enabled.ops, kEnableOps);
    EXPECT_EQ(enabled.sessions, std::vector<SessionRecord>{MakeSessionRecord()});
    EXPECT_EQ(enabled.sublayers, std::vector<SublayerRecord>{MakeSublayerRecord()});
    EXPECT_EQ(enabled.filters, BuildDnsFilters(index));
    const std::vector<wfp::EngineHandle> handles = HandlesOf(enabled.calls);
    ASSERT_NE(handles.front(), nullptr);
    EXPECT_EQ(std::count(handles.begin(), handles.end(), handles.front()),
              static_cast<long>(handles.size()));
    EXPECT_EQ(enabled.open_handles, 1);
    EXPECT_EQ(enabled.open_transactions, 0);
    EXPECT_THAT(enabled.live_sublayer_keys, ElementsAre(kDnsSublayerKey));
    EXPECT_EQ(enabled.live_filter_ids, IdsOf(enabled.calls, Op::kAddFilter));
    EXPECT_EQ(enabled.live_filter_ids.size(), 12u);

    interfaces_standin::SetInterface("brumotun", 99);
    const OpResult again = guard.Enable("brumotun");
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.message, "");
    EXPECT_EQ(interfaces_standin::LookedUpAliases().size(), 1u);
    EXPECT_EQ(wfp_standin::Recorded().calls.size(), enabled.calls.size());
  }
}

// Disable and destruction remove alike: the filters in the order they were added, then the
// sublayer, then the close, all on the Enable's handle; a failed deletion does not stop the
// rest, and an idle guard makes no call. After a Disable the guard is idle: a second one
// calls nothing, and Enable starts over with a fresh handle, new ids and the index found then.
TEST_F(DnsLeakGuardTest, DisableAndDestructionRemoveEverythingOnce) {
  const struct {
    const char* name;
    bool enabled;
    bool destroy;  // else Disable
    bool deletions_fail;
  } cases[] = {
      {"Disable", true, false, false},
      {"destruction", true, true, false},
      {"Disable, every first deletion and the close failing", true, false, true},
      {"destruction, every first deletion and the close failing", true, true, true},
      {"Disable when never enabled", false, false, false},
      {"destruction when never enabled", false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const standins::Scope case_stand_ins;
    std::optional<DnsLeakGuard> guard(std::in_place);
    if (c.enabled) {
      ASSERT_TRUE(guard->Enable("brumotun").ok);
    }
    const std::vector<wfp_standin::Call> enable = wfp_standin::Recorded().calls;
    if (c.deletions_fail) {
      for (const Op op : {Op::kDeleteFilterById, Op::kDeleteSublayerByKey, Op::kCloseEngine}) {
        wfp_standin::FailAt(op, 1, 5);
      }
    }

    if (c.destroy) {
      guard.reset();
    } else {
      const OpResult r = guard->Disable();
      EXPECT_TRUE(r.ok);
      EXPECT_EQ(r.message, "");
    }
    const std::vector<wfp_standin::Call> removal = CallsFrom(enable.size());
    EXPECT_EQ(OpsOf(removal), c.enabled ? kDisableOps : std::vector<Op>{});
    EXPECT_EQ(IdsOf(removal, Op::kDeleteFilterById), IdsOf(enable, Op::kAddFilter));
    for (const wfp_standin::Call& call : removal) {
      EXPECT_EQ(call.engine, enable.front().engine);
      // Nothing deleted twice or out of order.
      EXPECT_TRUE(c.deletions_fail || call.status == 0u) << call.status;
    }
    if (!c.deletions_fail) {
      ExpectEngineEmpty();
    }
    if (c.destroy) continue;

    const std::size_t removed = wfp_standin::Recorded().calls.size();
    const OpResult again = guard->Disable();
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.message, "");
    EXPECT_EQ(wfp_standin::Recorded().calls.size(), removed);

    interfaces_standin::SetInterface("brumotun", 8);  // the adapter came back under a new index
    ASSERT_TRUE(guard->Enable("brumotun").ok);
    const std::vector<wfp_standin::Call> second = CallsFrom(removed);
    EXPECT_EQ(OpsOf(second), kEnableOps);
    EXPECT_TRUE(!c.enabled || second.front().engine != enable.front().engine);
    const std::vector<std::uint64_t> old_ids = IdsOf(enable, Op::kAddFilter);
    const std::vector<std::uint64_t> new_ids = IdsOf(second, Op::kAddFilter);
    for (const std::uint64_t id : new_ids) {
      EXPECT_EQ(std::count(old_ids.begin(), old_ids.end(), id), 0) << id;
    }
    const std::vector<FilterRecord> filters = wfp_standin::Recorded().filters;
    EXPECT_EQ(std::vector<FilterRecord>(filters.end() - 12, filters.end()), BuildDnsFilters(8));
    if (!c.deletions_fail) {
      EXPECT_EQ(wfp_standin::Recorded().live_filter_ids, new_ids);
    }
    // Its Disable deletes just those.
    ASSERT_TRUE(guard->Disable().ok);
    EXPECT_EQ(IdsOf(CallsFrom(removed + second.size()), Op::kDeleteFilterById), new_ids);
  }
}

// A sublayer left under the same key by an earlier, persistent session.
TEST_F(DnsLeakGuardTest, ExistingSublayerCountsAsPresent) {
  wfp::EngineHandle other = nullptr;
  SessionRecord persistent = MakeSessionRecord();
  persistent.flags = 0;
  ASSERT_EQ(wfp::OpenEngine(persistent, &other), 0u);
  ASSERT_EQ(wfp::AddSublayer(other, MakeSublayerRecord()), 0u);
  ASSERT_EQ(wfp::CloseEngine(other), 0u);
  ASSERT_THAT(wfp_standin::Recorded().live_sublayer_keys, ElementsAre(kDnsSublayerKey));
  const std::size_t setup_calls = wfp_standin::Recorded().calls.size();

  DnsLeakGuard guard;
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  const std::vector<wfp_standin::Call> calls = wfp_standin::Recorded().calls;
  ASSERT_EQ(calls[setup_calls + 2].op, Op::kAddSublayer);
  EXPECT_EQ(calls[setup_calls + 2].status, kFwpErrorAlreadyExists);
  EXPECT_EQ(wfp_standin::Recorded().live_filter_ids.size(), 12u);

  // Disable still deletes the sublayer, which now has no filters left.
  ASSERT_TRUE(guard.Disable().ok);
  EXPECT_EQ(wfp_standin::Recorded().calls.back().op, Op::kCloseEngine);
  EXPECT_EQ(wfp_standin::Recorded().ops[wfp_standin::Recorded().ops.size() - 2],
            Op::kDeleteSublayerByKey);
  ExpectEngineEmpty();
}

TEST_F(DnsLeakGuardTest, MissingAdapterFailsAfterTheWaitWithoutTouchingTheEngine) {
  interfaces_standin::RemoveInterface("brumotun");
  DnsLeakGuard guard;
  const OpResult r = guard.Enable("brumotun");
  EXPECT_FALSE(r.ok);
  // On the virtual clock each 50 ms pause moves time by exactly 50 ms: 80 pauses, 81 lookups.
  EXPECT_EQ(r.message,
            "Failed to resolve tunnel interface 'brumotun': ConvertInterfaceAliasToLuid failed: 87 "
            "(waited 4000ms)");
  EXPECT_EQ(interfaces_standin::LookedUpAliases().size(), 81u);
  EXPECT_THAT(wfp_standin::Recorded().calls, IsEmpty());
  EXPECT_TRUE(guard.Disable().ok);
  EXPECT_THAT(wfp_standin::Recorded().calls, IsEmpty());
}

// Each failing step of Enable: its exact message, the calls up to the failure and the
// clean-up after it, and a guard that is idle again (a later Enable starts from the open
// and succeeds).
TEST_F(DnsLeakGuardTest, EveryFailingStepLeavesTheGuardIdle) {
  const std::vector<Op> kStart = {Op::kOpenEngine, Op::kBeginTransaction, Op::kAddSublayer};
  const std::vector<Op> kRollBack = {Op::kAbortTransaction, Op::kCloseEngine};
  // The calls when the `nth` filter add fails.
  const auto failed_add = [&](int nth) {
    return Concat({kStart, Repeat(Op::kAddFilter, nth), kRollBack});
  };
  const struct {
    const char* name;
    Op op;
    int nth;
    std::uint32_t status;
    std::string message;
    std::vector<Op> ops;
  } cases[] = {
      {"open fails",
       Op::kOpenEngine,
       1,
       0x80070005,
       "FwpmEngineOpen0 failed: 2147942405",
       {Op::kOpenEngine}},
      {"open succeeds without a handle",
       Op::kOpenEngine,
       1,
       0,
       "FwpmEngineOpen0 failed: 0",
       {Op::kOpenEngine}},
      {"begin fails",
       Op::kBeginTransaction,
       1,
       0x8032000E,
       "FwpmTransactionBegin0 failed: 2150760462",
       {Op::kOpenEngine, Op::kBeginTransaction, Op::kCloseEngine}},
      {"sublayer fails", Op::kAddSublayer, 1, 5, "FwpmSubLayerAdd0 failed: 5",
       Concat({kStart, kRollBack})},
      {"first permit filter (v4 UDP/53) fails", Op::kAddFilter, 1, 0x80320009,
       "Failed to add allow filter: FwpmFilterAdd0 failed (2150760457)", failed_add(1)},
      {"v4 DoT block filter fails", Op::kAddFilter, 6, 0x80320010,
       "Failed to add block filter: FwpmFilterAdd0 failed (2150760464)", failed_add(6)},
      {"v6 TCP/53 block filter fails", Op::kAddFilter, 10, 0x80320009,
       "Failed to add block filter: FwpmFilterAdd0 failed (2150760457)", failed_add(10)},
      {"v6 DoT permit filter fails", Op::kAddFilter, 11, 1,
       "Failed to add allow filter: FwpmFilterAdd0 failed (1)", failed_add(11)},
      {"commit fails", Op::kCommitTransaction, 1, 0x80320017,
       "FwpmTransactionCommit0 failed: 2150760471",
       Concat({kStart, Repeat(Op::kAddFilter, 12), {Op::kCommitTransaction}, kRollBack})},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const standins::Scope case_stand_ins;
    wfp_standin::FailAt(c.op, c.nth, c.status);
    DnsLeakGuard guard;

    const OpResult r = guard.Enable("brumotun");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(wfp_standin::Recorded().ops, c.ops);
    // The table's records up to the failing one, which is the one the message names.
    const std::vector<FilterRecord> table = BuildDnsFilters(kTunnelIndex);
    EXPECT_EQ(
        wfp_standin::Recorded().filters,
        std::vector<FilterRecord>(
            table.begin(), table.begin() + std::count(c.ops.begin(), c.ops.end(), Op::kAddFilter)));
    ExpectEngineEmpty();

    // Idle: Disable has nothing to do ...
    const std::size_t calls = wfp_standin::Recorded().calls.size();
    EXPECT_TRUE(guard.Disable().ok);
    EXPECT_EQ(wfp_standin::Recorded().calls.size(), calls);

    // ... and Enable starts over: new lookup, new handle, new sublayer, twelve new filters.
    ASSERT_TRUE(guard.Enable("brumotun").ok);
    const std::vector<Op> ops = wfp_standin::Recorded().ops;
    EXPECT_EQ(std::vector<Op>(ops.begin() + calls, ops.end()), kEnableOps);
    EXPECT_EQ(interfaces_standin::LookedUpAliases().size(), 2u);
    EXPECT_EQ(wfp_standin::Recorded().live_filter_ids.size(), 12u);
    const std::vector<FilterRecord> filters = wfp_standin::Recorded().filters;
    EXPECT_EQ(std::vector<FilterRecord>(filters.end() - 12, filters.end()),
              BuildDnsFilters(kTunnelIndex));

    // Disable then deletes exactly the twelve filters of that Enable: nothing of the
    // failed attempt was remembered.
    const std::size_t before_disable = wfp_standin::Recorded().calls.size();
    ASSERT_TRUE(guard.Disable().ok);
    const std::vector<wfp_standin::Call> all = wfp_standin::Recorded().calls;
    EXPECT_EQ(IdsOf({all.begin() + before_disable, all.end()}, Op::kDeleteFilterById),
              IdsOf({all.begin() + calls, all.begin() + before_disable}, Op::kAddFilter));
    ExpectEngineEmpty();
  }
}

// An exception once the transaction has begun (out of memory inside the engine's call,
// here thrown by the stand-in's hook after some filters are in): the guard aborts the
// transaction, closes the engine and lets the exception go. A guard that only cleaned up
// on returned failures would leave the transaction open and the handle held, the partial
// filters pending in it, and would still count itself enabled: the next Enable would then
// succeed without adding anything.
TEST_F(DnsLeakGuardTest, ExceptionAfterTheTransactionBeganRollsBack) {
  struct Case {
    const char* name;
    Op op;
    int nth;
    std::vector<Op> ops;  // recorded up to and including the rollback
  };
  const std::vector<Op> kStart = {Op::kOpenEngine, Op::kBeginTransaction, Op::kAddSublayer};
  const Case cases[] = {
      {"in the sublayer add",
       Op::kAddSublayer,
       1,
       {Op::kOpenEngine, Op::kBeginTransaction, Op::kAbortTransaction, Op::kCloseEngine}},
      {"in the fifth filter add", Op::kAddFilter, 5,
       Concat({kStart, Repeat(Op::kAddFilter, 4), {Op::kAbortTransaction, Op::kCloseEngine}})},
      {"in the commit", Op::kCommitTransaction, 1,
       Concat({kStart, Repeat(Op::kAddFilter, 12), {Op::kAbortTransaction, Op::kCloseEngine}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const standins::Scope case_stand_ins;
    wfp_standin::SetHook([&c](Op op, int nth) {
      if (op == c.op && nth == c.nth) throw std::bad_alloc();
    });
    DnsLeakGuard guard;

    EXPECT_THROW(guard.Enable("brumotun"), std::bad_alloc);
    wfp_standin::SetHook(nullptr);
    EXPECT_EQ(wfp_standin::Recorded().ops, c.ops);
    for (const wfp_standin::Call& call : wfp_standin::Recorded().calls) EXPECT_EQ(call.status, 0u);
    ExpectEngineEmpty();

    // Idle again: the next Enable runs the whole sequence and adds the whole table.
    const std::size_t calls = wfp_standin::Recorded().calls.size();
    ASSERT_TRUE(guard.Enable("brumotun").ok);
    const std::vector<Op> ops = wfp_standin::Recorded().ops;
    EXPECT_EQ(std::vector<Op>(ops.begin() + static_cast<long>(calls), ops.end()), kEnableOps);
    EXPECT_EQ(wfp_standin::Recorded().live_filter_ids.size(), 12u);
  }
}

}  // namespace
}  // namespace brumo
