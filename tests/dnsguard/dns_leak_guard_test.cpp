#include "dnsguard/dns_leak_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dnsguard/dns_filters.h"
#include "tests/standins/standins.h"
#include "tests/standins/wfp/wfp_json.h"

namespace brumo {
namespace {

using standins::kTunnelIndex;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using wfp_standin::Call;
using wfp_standin::Op;
using wfp_standin::Record;
using Ids = std::vector<std::uint64_t>;

std::vector<Op> Concat(std::initializer_list<std::vector<Op>> parts) {
  std::vector<Op> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const std::vector<Op> kStart = {Op::kOpenEngine, Op::kBeginTransaction, Op::kAddSublayer};
const std::vector<Op> kRollBack = {Op::kAbortTransaction, Op::kCloseEngine};
const std::vector<Op> kEnableOps =
    Concat({kStart, std::vector<Op>(12, Op::kAddFilter), {Op::kCommitTransaction}});
const std::vector<Op> kDisableOps = Concat(
    {std::vector<Op>(12, Op::kDeleteFilterById), {Op::kDeleteSublayerByKey, Op::kCloseEngine}});

// The calls of an Enable rolled back after `filters` filter adds.
std::vector<Op> RolledBackAfter(int filters) {
  return Concat({kStart, std::vector<Op>(filters, Op::kAddFilter), kRollBack});
}

std::pair<bool, std::string> Result(const OpResult& r) { return {r.ok, r.message}; }
std::pair<bool, std::string> Failed(std::string message) { return {false, std::move(message)}; }
const std::pair<bool, std::string> kOk{true, ""};

Ids IdsOf(const std::vector<Call>& calls, Op op) {
  Ids ids;
  for (const Call& call : calls) {
    if (call.op == op) ids.push_back(call.filter_id);
  }
  return ids;
}

// The calls recorded from the `first` on, or (with `&Record::ops`) their operations.
template <typename T = Call>
std::vector<T> RecordedFrom(std::size_t first, std::vector<T> Record::*field = &Record::calls) {
  const std::vector<T> all = wfp_standin::Recorded().*field;
  return {all.begin() + static_cast<long>(first), all.end()};
}

// Open handles, open transactions, live sublayer keys and the number of live filters.
using State = std::tuple<int, int, std::vector<Guid>, std::size_t>;
State EngineState() {
  const wfp_standin::Record r = wfp_standin::Live();
  return {r.open_handles, r.open_transactions, r.live_sublayer_keys, r.live_filter_ids.size()};
}
const State kEmpty{0, 0, {}, 0};

// An idle guard's Disable succeeds and calls nothing.
void ExpectDisableCallsNothing(DnsLeakGuard& guard) {
  const std::size_t calls = wfp_standin::Recorded().calls.size();
  EXPECT_EQ(Result(guard.Disable()), kOk);
  EXPECT_EQ(wfp_standin::Recorded().calls.size(), calls);
}

// From an idle guard, Enable runs the whole sequence and adds the table of `index` under
// new ids, live beside whatever was live before; the next Disable deletes just those.
// Gives the Enable's calls.
std::vector<Call> ExpectEnablesAfresh(DnsLeakGuard& guard, std::uint32_t index) {
  const std::size_t from = wfp_standin::Recorded().calls.size();
  Ids live = wfp_standin::Live().live_filter_ids;
  const OpResult r = guard.Enable("brumotun");
  EXPECT_EQ(Result(r), kOk);
  if (!r.ok) return {};
  const std::vector<Call> enable = RecordedFrom(from);
  EXPECT_EQ(RecordedFrom(from, &Record::ops), kEnableOps);
  const std::vector<FilterRecord> filters = wfp_standin::Recorded().filters;
  EXPECT_EQ(std::vector<FilterRecord>(filters.end() - 12, filters.end()), BuildDnsFilters(index));
  const Ids ids = IdsOf(enable, Op::kAddFilter);
  live.insert(live.end(), ids.begin(), ids.end());
  EXPECT_EQ(wfp_standin::Live().live_filter_ids, live);
  EXPECT_EQ(Result(guard.Disable()), kOk);
  EXPECT_EQ(IdsOf(RecordedFrom(from + enable.size()), Op::kDeleteFilterById), ids);
  return enable;
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

    EXPECT_EQ(Result(guard.Enable("brumotun")), kOk);
    const wfp_standin::Record enabled = wfp_standin::Recorded();
    EXPECT_EQ(interfaces_standin::LookedUpAliases(), std::vector<std::string>{"brumotun"});
    EXPECT_EQ(enabled.ops, kEnableOps);
    EXPECT_EQ(enabled.sessions, std::vector<SessionRecord>{MakeSessionRecord()});
    EXPECT_EQ(enabled.sublayers, std::vector<SublayerRecord>{MakeSublayerRecord()});
    EXPECT_EQ(enabled.filters, BuildDnsFilters(index));
    ASSERT_NE(enabled.calls.front().engine, nullptr);
    for (const Call& call : enabled.calls) EXPECT_EQ(call.engine, enabled.calls.front().engine);
    EXPECT_EQ(EngineState(), (State{1, 0, {kDnsSublayerKey}, 12}));
    EXPECT_EQ(enabled.live_filter_ids, IdsOf(enabled.calls, Op::kAddFilter));

    interfaces_standin::SetInterface("brumotun", 99);
    EXPECT_EQ(Result(guard.Enable("brumotun")), kOk);
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
    ASSERT_TRUE(!c.enabled || guard->Enable("brumotun").ok);
    const std::vector<Call> enable = wfp_standin::Recorded().calls;
    if (c.deletions_fail) {
      for (const Op op : {Op::kDeleteFilterById, Op::kDeleteSublayerByKey, Op::kCloseEngine}) {
        wfp_standin::FailAt(op, 1, 5);
      }
    }

    if (c.destroy) {
      guard.reset();
    } else {
      EXPECT_EQ(Result(guard->Disable()), kOk);
    }
    const std::vector<Call> removal = RecordedFrom(enable.size());
    EXPECT_EQ(RecordedFrom(enable.size(), &Record::ops),
              c.enabled ? kDisableOps : std::vector<Op>{});
    EXPECT_EQ(IdsOf(removal, Op::kDeleteFilterById), IdsOf(enable, Op::kAddFilter));
    for (const Call& call : removal) {
      EXPECT_EQ(call.engine, enable.front().engine);
      // Nothing deleted twice or out of order.
      EXPECT_TRUE(c.deletions_fail || call.status == 0u) << call.status;
    }
    if (!c.deletions_fail) {
      EXPECT_EQ(EngineState(), kEmpty);
    }
    if (c.destroy) continue;

    ExpectDisableCallsNothing(*guard);
    interfaces_standin::SetInterface("brumotun", 8);  // the adapter came back under a new index
    const std::vector<Call> second = ExpectEnablesAfresh(*guard, 8);
    ASSERT_FALSE(second.empty());
    EXPECT_TRUE(!c.enabled || second.front().engine != enable.front().engine);
    const Ids old_ids = IdsOf(enable, Op::kAddFilter);
    for (const std::uint64_t id : IdsOf(second, Op::kAddFilter)) {
      EXPECT_EQ(std::count(old_ids.begin(), old_ids.end(), id), 0) << id;
    }
  }
}

// A sublayer left under the same key by an earlier, persistent session.
TEST_F(DnsLeakGuardTest, ExistingSublayerCountsAsPresent) {
  wfp::EngineHandle other = nullptr;
  ASSERT_EQ(wfp::OpenEngine(SessionRecord{u"other", u"", /*flags=*/0, 0}, &other), 0u);
  ASSERT_EQ(wfp::AddSublayer(other, MakeSublayerRecord()), 0u);
  ASSERT_EQ(wfp::CloseEngine(other), 0u);
  ASSERT_THAT(wfp_standin::Recorded().live_sublayer_keys, ElementsAre(kDnsSublayerKey));
  const std::size_t setup_calls = wfp_standin::Recorded().calls.size();

  DnsLeakGuard guard;
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  const Call sublayer_add = RecordedFrom(setup_calls)[2];
  EXPECT_EQ(std::pair(sublayer_add.op, sublayer_add.status),
            std::pair(Op::kAddSublayer, kFwpErrorAlreadyExists));
  EXPECT_EQ(wfp_standin::Recorded().live_filter_ids.size(), 12u);

  // Disable still deletes the sublayer, which now has no filters left.
  ASSERT_TRUE(guard.Disable().ok);
  EXPECT_EQ(RecordedFrom(setup_calls + kEnableOps.size(), &Record::ops), kDisableOps);
  EXPECT_EQ(EngineState(), kEmpty);
}

TEST_F(DnsLeakGuardTest, MissingAdapterFailsAfterTheWaitWithoutTouchingTheEngine) {
  interfaces_standin::RemoveInterface("brumotun");
  DnsLeakGuard guard;
  // On the virtual clock each 50 ms pause moves time by exactly 50 ms: 80 pauses, 81 lookups.
  EXPECT_EQ(Result(guard.Enable("brumotun")),
            Failed("Failed to resolve tunnel interface 'brumotun': ConvertInterfaceAliasToLuid "
                   "failed: 87 (waited 4000ms)"));
  EXPECT_EQ(interfaces_standin::LookedUpAliases().size(), 81u);
  EXPECT_THAT(wfp_standin::Recorded().calls, IsEmpty());
  ExpectDisableCallsNothing(guard);
}

// Each failing step of Enable: its exact message, the calls up to the failure and the
// clean-up after it, and a guard that is idle again (a later Enable starts from the open
// and succeeds, and nothing of the failed attempt is remembered).
// The rows without a message throw once the transaction has begun (out of memory inside
// the engine's call, here thrown by the stand-in's hook before the call does anything):
// the guard aborts the transaction, closes the engine and lets the exception go. A guard
// that only cleaned up on returned failures would leave the transaction open and the
// handle held, the partial filters pending in it, and would still count itself enabled:
// the next Enable would then succeed without adding anything.
TEST_F(DnsLeakGuardTest, EveryFailingStepLeavesTheGuardIdle) {
  const std::vector<Op> kOpen = {Op::kOpenEngine};
  const struct {
    const char* name;
    Op op;
    int nth;
    std::uint32_t status;
    std::optional<std::string> message;  // none: std::bad_alloc thrown
    std::vector<Op> ops;
  } cases[] = {
      {"open fails", Op::kOpenEngine, 1, 0x80070005, "FwpmEngineOpen0 failed: 2147942405", kOpen},
      {"open succeeds without a handle", Op::kOpenEngine, 1, 0, "FwpmEngineOpen0 failed: 0", kOpen},
      {"begin fails", Op::kBeginTransaction, 1, 0x8032000E,
       "FwpmTransactionBegin0 failed: 2150760462",
       Concat({kOpen, {Op::kBeginTransaction, Op::kCloseEngine}})},
      {"sublayer fails", Op::kAddSublayer, 1, 5, "FwpmSubLayerAdd0 failed: 5", RolledBackAfter(0)},
      {"first permit filter (v4 UDP/53) fails", Op::kAddFilter, 1, 0x80320009,
       "Failed to add allow filter: FwpmFilterAdd0 failed (2150760457)", RolledBackAfter(1)},
      {"v4 DoT block filter fails", Op::kAddFilter, 6, 0x80320010,
       "Failed to add block filter: FwpmFilterAdd0 failed (2150760464)", RolledBackAfter(6)},
      {"v6 TCP/53 block filter fails", Op::kAddFilter, 10, 0x80320009,
       "Failed to add block filter: FwpmFilterAdd0 failed (2150760457)", RolledBackAfter(10)},
      {"v6 DoT permit filter fails", Op::kAddFilter, 11, 1,
       "Failed to add allow filter: FwpmFilterAdd0 failed (1)", RolledBackAfter(11)},
      {"commit fails", Op::kCommitTransaction, 1, 0x80320017,
       "FwpmTransactionCommit0 failed: 2150760471", Concat({kEnableOps, kRollBack})},
      {"exception in the sublayer add", Op::kAddSublayer, 1, 0, std::nullopt,
       Concat({{Op::kOpenEngine, Op::kBeginTransaction}, kRollBack})},
      {"exception in the fifth filter add", Op::kAddFilter, 5, 0, std::nullopt, RolledBackAfter(4)},
      {"exception in the commit", Op::kCommitTransaction, 1, 0, std::nullopt, RolledBackAfter(12)},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const standins::Scope case_stand_ins;
    DnsLeakGuard guard;
    if (c.message) {
      wfp_standin::FailAt(c.op, c.nth, c.status);
      EXPECT_EQ(Result(guard.Enable("brumotun")), Failed(*c.message));
    } else {
      wfp_standin::SetHook([&c](Op op, int nth) {
        if (op == c.op && nth == c.nth) throw std::bad_alloc();
      });
      EXPECT_THROW(guard.Enable("brumotun"), std::bad_alloc);
      wfp_standin::SetHook(nullptr);
      for (const Call& call : wfp_standin::Recorded().calls) EXPECT_EQ(call.status, 0u);
    }
    EXPECT_EQ(wfp_standin::Recorded().ops, c.ops);
    // The table's records up to the failing one, which is the one the message names.
    const std::vector<FilterRecord> table = BuildDnsFilters(kTunnelIndex);
    EXPECT_EQ(
        wfp_standin::Recorded().filters,
        std::vector<FilterRecord>(
            table.begin(), table.begin() + std::count(c.ops.begin(), c.ops.end(), Op::kAddFilter)));
    EXPECT_EQ(EngineState(), kEmpty);

    ExpectDisableCallsNothing(guard);
    ExpectEnablesAfresh(guard, kTunnelIndex);
    EXPECT_EQ(interfaces_standin::LookedUpAliases().size(), 2u);
    EXPECT_EQ(EngineState(), kEmpty);
  }
}

}  // namespace
}  // namespace brumo
