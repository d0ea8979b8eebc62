#include "dnsguard/dns_leak_guard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dnsguard/dns_filters.h"
#include "tests/dnsguard/record_printers.h"
#include "tests/fakes/interfaces/fake_interface_lookup.h"
#include "tests/fakes/wfp/fake_wfp_engine.h"

namespace brumo {
namespace {

using fake_wfp::Op;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::uint32_t kTunnelIndex = 7;

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

std::vector<std::uint64_t> IdsOf(const std::vector<fake_wfp::Call>& calls, Op op) {
  std::vector<std::uint64_t> ids;
  for (const fake_wfp::Call& call : calls) {
    if (call.op == op) ids.push_back(call.filter_id);
  }
  return ids;
}

std::vector<wfp::EngineHandle> HandlesOf(const std::vector<fake_wfp::Call>& calls) {
  std::vector<wfp::EngineHandle> handles;
  for (const fake_wfp::Call& call : calls) handles.push_back(call.engine);
  return handles;
}

// Nothing of the guard is left in the engine.
void ExpectEngineEmpty() {
  EXPECT_EQ(fake_wfp::OpenHandleCount(), 0);
  EXPECT_EQ(fake_wfp::OpenTransactionCount(), 0);
  EXPECT_THAT(fake_wfp::LiveSublayerKeys(), IsEmpty());
  EXPECT_THAT(fake_wfp::LiveFilterIds(), IsEmpty());
}

class DnsLeakGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_wfp::Reset();
    fake_interfaces::Reset();
    fake_interfaces::SetInterface("brumotun", kTunnelIndex);
  }
};

TEST_F(DnsLeakGuardTest, EnableAddsSublayerAndTwelveFiltersInOneTransaction) {
  DnsLeakGuard guard;
  EXPECT_THAT(fake_wfp::Calls(), IsEmpty());  // construction touches nothing

  const OpResult r = guard.Enable("brumotun");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.message, "");
  EXPECT_EQ(fake_interfaces::LookedUpAliases(), std::vector<std::string>{"brumotun"});
  EXPECT_EQ(fake_wfp::Ops(), kEnableOps);
  EXPECT_EQ(fake_wfp::Sessions(), std::vector<SessionRecord>{MakeSessionRecord()});
  EXPECT_EQ(fake_wfp::Sublayers(), std::vector<SublayerRecord>{MakeSublayerRecord()});
  EXPECT_EQ(fake_wfp::Filters(), BuildDnsFilters(kTunnelIndex));

  // Every call went to the one handle the open gave.
  const std::vector<wfp::EngineHandle> handles = HandlesOf(fake_wfp::Calls());
  ASSERT_NE(handles.front(), nullptr);
  EXPECT_EQ(std::count(handles.begin(), handles.end(), handles.front()),
            static_cast<long>(handles.size()));

  EXPECT_EQ(fake_wfp::OpenHandleCount(), 1);
  EXPECT_EQ(fake_wfp::OpenTransactionCount(), 0);
  EXPECT_THAT(fake_wfp::LiveSublayerKeys(), ElementsAre(kDnsSublayerKey));
  EXPECT_EQ(fake_wfp::LiveFilterIds(), IdsOf(fake_wfp::Calls(), Op::kAddFilter));
  EXPECT_EQ(fake_wfp::LiveFilterIds().size(), 12u);
}

TEST_F(DnsLeakGuardTest, EnableWhileEnabledSucceedsWithoutLookupOrPlatformCall) {
  DnsLeakGuard guard;
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  const std::size_t calls = fake_wfp::Calls().size();
  fake_interfaces::SetInterface("brumotun", 99);  // a new index would not be picked up

  const OpResult again = guard.Enable("brumotun");
  EXPECT_TRUE(again.ok);
  EXPECT_EQ(again.message, "");
  EXPECT_EQ(fake_interfaces::LookupCount(), 1);
  EXPECT_EQ(fake_wfp::Calls().size(), calls);
}

TEST_F(DnsLeakGuardTest, DisableDeletesFiltersInAddOrderThenSublayerThenCloses) {
  DnsLeakGuard guard;
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  const std::vector<fake_wfp::Call> enable_calls = fake_wfp::Calls();

  const OpResult r = guard.Disable();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.message, "");

  const std::vector<fake_wfp::Call> all = fake_wfp::Calls();
  const std::vector<fake_wfp::Call> disable_calls(all.begin() + enable_calls.size(), all.end());
  std::vector<Op> disable_ops;
  for (const fake_wfp::Call& call : disable_calls) disable_ops.push_back(call.op);
  EXPECT_EQ(disable_ops, kDisableOps);
  EXPECT_EQ(IdsOf(disable_calls, Op::kDeleteFilterById), IdsOf(enable_calls, Op::kAddFilter));
  for (const fake_wfp::Call& call : disable_calls) {
    EXPECT_EQ(call.engine, enable_calls.front().engine);
    EXPECT_EQ(call.status, 0u);  // nothing deleted twice or out of order
  }
  ExpectEngineEmpty();
}

TEST_F(DnsLeakGuardTest, DisableAndDestructionWhenIdleMakeNoPlatformCall) {
  { DnsLeakGuard never_enabled; }
  DnsLeakGuard guard;
  EXPECT_TRUE(guard.Disable().ok);
  EXPECT_THAT(fake_wfp::Calls(), IsEmpty());
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  ASSERT_TRUE(guard.Disable().ok);
  const std::size_t calls = fake_wfp::Calls().size();

  const OpResult again = guard.Disable();
  EXPECT_TRUE(again.ok);
  EXPECT_EQ(again.message, "");
  EXPECT_EQ(fake_wfp::Calls().size(), calls);
}

TEST_F(DnsLeakGuardTest, EnableAfterDisableStartsOverWithFreshHandleAndNewIds) {
  DnsLeakGuard guard;
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  ASSERT_TRUE(guard.Disable().ok);
  const std::vector<fake_wfp::Call> first = fake_wfp::Calls();
  fake_interfaces::SetInterface("brumotun", 8);  // the adapter came back under a new index

  ASSERT_TRUE(guard.Enable("brumotun").ok);
  const std::vector<fake_wfp::Call> all = fake_wfp::Calls();
  const std::vector<fake_wfp::Call> second(all.begin() + first.size(), all.end());

  std::vector<Op> second_ops;
  for (const fake_wfp::Call& call : second) second_ops.push_back(call.op);
  EXPECT_EQ(second_ops, kEnableOps);
  EXPECT_NE(second.front().engine, first.front().engine);
  const std::vector<std::uint64_t> old_ids = IdsOf(first, Op::kAddFilter);
  const std::vector<std::uint64_t> new_ids = IdsOf(second, Op::kAddFilter);
  ASSERT_EQ(new_ids.size(), 12u);
  for (const std::uint64_t id : new_ids) {
    EXPECT_EQ(std::count(old_ids.begin(), old_ids.end(), id), 0) << id;
  }
  const std::vector<FilterRecord> filters = fake_wfp::Filters();
  EXPECT_EQ(std::vector<FilterRecord>(filters.begin() + 12, filters.end()), BuildDnsFilters(8));
  EXPECT_EQ(fake_wfp::LiveFilterIds(), new_ids);
}

TEST_F(DnsLeakGuardTest, DestructionRemovesEverything) {
  {
    DnsLeakGuard guard;
    ASSERT_TRUE(guard.Enable("brumotun").ok);
  }
  EXPECT_EQ(fake_wfp::Ops(), Concat({kEnableOps, kDisableOps}));
  ExpectEngineEmpty();
}

TEST_F(DnsLeakGuardTest, FailedDeletionsDoNotStopTheCleanup) {
  DnsLeakGuard guard;
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  fake_wfp::FailAt(Op::kDeleteFilterById, 1, 5);
  fake_wfp::FailAt(Op::kDeleteSublayerByKey, 1, 5);
  fake_wfp::FailAt(Op::kCloseEngine, 1, 5);

  EXPECT_TRUE(guard.Disable().ok);
  const std::vector<Op> ops = fake_wfp::Ops();
  EXPECT_EQ(std::vector<Op>(ops.begin() + kEnableOps.size(), ops.end()), kDisableOps);

  // The guard is idle all the same: the next Enable starts from the open.
  const std::size_t calls = fake_wfp::Calls().size();
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  EXPECT_EQ(fake_wfp::Calls()[calls].op, Op::kOpenEngine);
}

// A sublayer left under the same key by an earlier, persistent session.
TEST_F(DnsLeakGuardTest, ExistingSublayerCountsAsPresent) {
  wfp::EngineHandle other = nullptr;
  SessionRecord persistent = MakeSessionRecord();
  persistent.flags = 0;
  ASSERT_EQ(wfp::OpenEngine(persistent, &other), 0u);
  ASSERT_EQ(wfp::AddSublayer(other, MakeSublayerRecord()), 0u);
  ASSERT_EQ(wfp::CloseEngine(other), 0u);
  ASSERT_THAT(fake_wfp::LiveSublayerKeys(), ElementsAre(kDnsSublayerKey));
  const std::size_t setup_calls = fake_wfp::Calls().size();

  DnsLeakGuard guard;
  ASSERT_TRUE(guard.Enable("brumotun").ok);
  const std::vector<fake_wfp::Call> calls = fake_wfp::Calls();
  ASSERT_EQ(calls[setup_calls + 2].op, Op::kAddSublayer);
  EXPECT_EQ(calls[setup_calls + 2].status, kFwpErrorAlreadyExists);
  EXPECT_EQ(fake_wfp::LiveFilterIds().size(), 12u);

  // Disable still deletes the sublayer, which now has no filters left.
  ASSERT_TRUE(guard.Disable().ok);
  EXPECT_EQ(fake_wfp::Calls().back().op, Op::kCloseEngine);
  EXPECT_EQ(fake_wfp::Ops()[fake_wfp::Ops().size() - 2], Op::kDeleteSublayerByKey);
  ExpectEngineEmpty();
}

TEST_F(DnsLeakGuardTest, MissingAdapterFailsAfterTheWaitWithoutTouchingTheEngine) {
  fake_interfaces::RemoveInterface("brumotun");
  DnsLeakGuard guard;
  const OpResult r = guard.Enable("brumotun");
  EXPECT_FALSE(r.ok);
  const std::string head =
      "Failed to resolve tunnel interface 'brumotun': ConvertInterfaceAliasToLuid failed: 87 "
      "(waited ";
  const std::string tail = "ms)";
  ASSERT_GT(r.message.size(), head.size() + tail.size()) << r.message;
  EXPECT_EQ(r.message.substr(0, head.size()), head);
  EXPECT_EQ(r.message.substr(r.message.size() - tail.size()), tail);
  const std::string waited =
      r.message.substr(head.size(), r.message.size() - head.size() - tail.size());
  ASSERT_EQ(waited.find_first_not_of("0123456789"), std::string::npos) << r.message;
  EXPECT_GE(std::stoll(waited), 4000);
  EXPECT_THAT(fake_wfp::Calls(), IsEmpty());
  EXPECT_TRUE(guard.Disable().ok);
  EXPECT_THAT(fake_wfp::Calls(), IsEmpty());
}

// Each failing step of Enable: its exact message, the calls up to the failure and the
// clean-up after it, and a guard that is idle again (a later Enable starts from the open
// and succeeds).
TEST_F(DnsLeakGuardTest, EveryFailingStepLeavesTheGuardIdle) {
  const std::vector<Op> kStart = {Op::kOpenEngine, Op::kBeginTransaction, Op::kAddSublayer};
  const std::vector<Op> kRollBack = {Op::kAbortTransaction, Op::kCloseEngine};
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
       "Failed to add allow filter: FwpmFilterAdd0 failed (2150760457)",
       Concat({kStart, Repeat(Op::kAddFilter, 1), kRollBack})},
      {"v4 DoT block filter fails", Op::kAddFilter, 6, 0x80320010,
       "Failed to add block filter: FwpmFilterAdd0 failed (2150760464)",
       Concat({kStart, Repeat(Op::kAddFilter, 6), kRollBack})},
      {"v6 TCP/53 block filter fails", Op::kAddFilter, 10, 0x80320009,
       "Failed to add block filter: FwpmFilterAdd0 failed (2150760457)",
       Concat({kStart, Repeat(Op::kAddFilter, 10), kRollBack})},
      {"v6 DoT permit filter fails", Op::kAddFilter, 11, 1,
       "Failed to add allow filter: FwpmFilterAdd0 failed (1)",
       Concat({kStart, Repeat(Op::kAddFilter, 11), kRollBack})},
      {"commit fails", Op::kCommitTransaction, 1, 0x80320017,
       "FwpmTransactionCommit0 failed: 2150760471",
       Concat({kStart, Repeat(Op::kAddFilter, 12), {Op::kCommitTransaction}, kRollBack})},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_wfp::Reset();
    fake_interfaces::Reset();
    fake_interfaces::SetInterface("brumotun", kTunnelIndex);
    fake_wfp::FailAt(c.op, c.nth, c.status);
    DnsLeakGuard guard;

    const OpResult r = guard.Enable("brumotun");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(fake_wfp::Ops(), c.ops);
    ExpectEngineEmpty();

    // Idle: Disable has nothing to do ...
    const std::size_t calls = fake_wfp::Calls().size();
    EXPECT_TRUE(guard.Disable().ok);
    EXPECT_EQ(fake_wfp::Calls().size(), calls);

    // ... and Enable starts over: new lookup, new handle, new sublayer, twelve new filters.
    ASSERT_TRUE(guard.Enable("brumotun").ok);
    const std::vector<Op> ops = fake_wfp::Ops();
    EXPECT_EQ(std::vector<Op>(ops.begin() + calls, ops.end()), kEnableOps);
    EXPECT_EQ(fake_interfaces::LookupCount(), 2);
    EXPECT_EQ(fake_wfp::LiveFilterIds().size(), 12u);
    const std::vector<FilterRecord> filters = fake_wfp::Filters();
    EXPECT_EQ(std::vector<FilterRecord>(filters.end() - 12, filters.end()),
              BuildDnsFilters(kTunnelIndex));

    // Disable then deletes exactly the twelve filters of that Enable: nothing of the
    // failed attempt was remembered.
    const std::size_t before_disable = fake_wfp::Calls().size();
    ASSERT_TRUE(guard.Disable().ok);
    const std::vector<fake_wfp::Call> all = fake_wfp::Calls();
    EXPECT_EQ(IdsOf({all.begin() + before_disable, all.end()}, Op::kDeleteFilterById),
              IdsOf({all.begin() + calls, all.begin() + before_disable}, Op::kAddFilter));
    ExpectEngineEmpty();
  }
}

TEST_F(DnsLeakGuardTest, FailingFilterIsTheOneTheTableNames) {
  fake_wfp::FailAt(Op::kAddFilter, 10, 0x80320009);
  DnsLeakGuard guard;
  EXPECT_FALSE(guard.Enable("brumotun").ok);
  const std::vector<FilterRecord> submitted = fake_wfp::Filters();
  ASSERT_EQ(submitted.size(), 10u);
  EXPECT_EQ(submitted.back().name, u"BrumoVPN DNS allow (TCP/53) (block)");
  EXPECT_EQ(submitted.back().layer_key, kFwpmLayerOutboundTransportV6);
}

}  // namespace
}  // namespace brumo
