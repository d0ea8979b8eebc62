// The controller's states and transitions, one thread at a time, over the real guard and
// the stand-ins of tun2proxy, the filter engine, the interface lookup and the platform.
#include "tunnel/tunnel_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <new>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "dnsguard/dns_filters.h"
#include "tests/tunnel/tunnel_test_support.h"

namespace brumo {
namespace {

using namespace tunnel_test;
using Calls = std::vector<std::string>;

void TestLogCallback(int, const char*, void*) {}

using TunnelControllerTest = TunnelTest;

TEST_F(TunnelControllerTest, IdleControllerCallsNothing) {
  {
    TunnelController controller(&guard_);
    ExpectIdle(controller, 0);
    ExpectSuccess(controller.Stop());
  }
  EXPECT_EQ(t2p::Recorded().calls, Calls{});
  EXPECT_EQ(GuardEnables(), 0);
  EXPECT_TRUE(engine::Recorded().calls.empty());
}

// Start and Stop, with the library's results zero and non-zero: the results change nothing.
TEST_F(TunnelControllerTest, StartThenStop) {
  for (const auto& [name, run_result, stop_result] :
       {std::tuple{"library results zero", 0, 0}, {"library results non-zero", 1, -1}}) {
    SCOPED_TRACE(name);
    const standins::Scope case_stand_ins;
    t2p::SetRunResult(run_result);
    t2p::SetStopResult(stop_result);
    int dummy_context = 0;
    tun2proxy_set_log_callback(&TestLogCallback, &dummy_context);

    TunnelController controller(&guard_);
    bool running_at_disable = true;
    int runs_inside_at_disable = -1;
    OnGuardDisable([&] {
      running_at_disable = controller.IsRunning();
      runs_inside_at_disable = t2p::Recorded().runs_inside;
    });

    ExpectStarts(controller, 1);
    EXPECT_TRUE(controller.GetStatus().running);
    EXPECT_EQ(t2p::Recorded().runs_inside, 1);
    EXPECT_EQ(interfaces_standin::LookedUpAliases(), Calls{"brumotun"});
    EXPECT_EQ(engine::Recorded().filters, BuildDnsFilters(standins::kTunnelIndex));
    const t2p::RunArgs expected_run{
        "socks5://127.0.0.1:12735", "brumotun", "10.255.255.255/32", 2, false, 0};
    EXPECT_EQ(t2p::Recorded().runs, std::vector<t2p::RunArgs>{expected_run});
    // The launch removed the callback installed above before the run call.
    EXPECT_EQ(t2p::Recorded().log_callback, nullptr);
    EXPECT_EQ(t2p::Recorded().log_context, nullptr);
    EXPECT_EQ(t2p::Recorded().calls, (Calls{"set_log_callback", "set_log_callback", "run"}));
    // One launch check of the full delay.
    EXPECT_EQ(platform_standin::Sleeps(),
              std::vector<std::chrono::milliseconds>{kLaunchCheckDelay});

    ExpectSuccess(controller.Stop());
    // One wait for the worker's end, through the clock seam.
    EXPECT_EQ(platform_standin::Waits(),
              std::vector<std::chrono::milliseconds>{kStopRepeatInterval});
    EXPECT_TRUE(EngineEmpty());
    EXPECT_EQ(t2p::Recorded().calls,
              (Calls{"set_log_callback", "set_log_callback", "run", "stop"}));
    // The filters go only once the worker has been joined.
    EXPECT_FALSE(running_at_disable);
    EXPECT_EQ(runs_inside_at_disable, 0);
    // Nothing is left to stop.
    ExpectStoppedOnceThenStartsAgain(controller);
  }
}

TEST_F(TunnelControllerTest, StartWhileRunningIsRefusedAtOnceAndChangesNothing) {
  ExpectSuccess(controller_.Start());
  const std::size_t engine_calls = engine::Recorded().calls.size();
  ExpectFailure(controller_.Start(), kAlreadyRunning);
  EXPECT_TRUE(controller_.IsRunning());
  EXPECT_EQ(t2p::Recorded().calls, (Calls{"set_log_callback", "run"}));
  EXPECT_EQ(GuardEnables(), 1);
  EXPECT_EQ(engine::Recorded().calls.size(), engine_calls);
}

// A run call that ends within the launch check: the worker is joined, the library gets one
// stop (clearing what a failed run left registered), the guard is left alone, and the next
// Start launches again. On the real clock, so that the worker has the 500 ms to end in.
TEST_F(TunnelControllerTest, RunEndingWithinTheLaunchCheckIsReportedAndJoined) {
  platform_standin::UseVirtualClock(false);
  using std::chrono::milliseconds;
  int attempts = 0;
  // Name, run mode and its delay, run result, whether the run ends before the launch
  // returns.
  for (const auto& [name, mode, delay, run_result, ends_before_launch_returns] : {
           std::tuple{"returns at once", t2p::RunMode::kReturn, milliseconds(0), 0, false},
           {"returns at once with an error", t2p::RunMode::kReturn, milliseconds(0), 1, false},
           {"returns after 50 ms", t2p::RunMode::kDelay, milliseconds(50), 0, false},
           // The running flag must be set before the launch, or it outlives the worker.
           {"returns before the launch does", t2p::RunMode::kReturn, milliseconds(0), 0, true},
           {"fails, its registration left", t2p::RunMode::kFailsRegistered, milliseconds(0), 0,
            false},
       }) {
    SCOPED_TRACE(name);
    t2p::SetRunMode(mode, delay);
    t2p::SetRunResult(run_result);
    if (ends_before_launch_returns) platform_standin::RunNextLaunchToEnd();
    ExpectFailure(controller_.Start(), kExitedPrematurely);
    ++attempts;
    const t2p::Record r = t2p::Recorded();
    EXPECT_EQ(std::tuple(r.run_calls, r.set_log_callback_calls, r.stop_calls),
              std::tuple(attempts, attempts, attempts));
    EXPECT_EQ(GuardEnables(), 0);
    EXPECT_TRUE(engine::Recorded().calls.empty());
    ExpectIdle(controller_, attempts);
  }

  t2p::SetRunMode(t2p::RunMode::kBlock);
  t2p::SetRunResult(0);
  ExpectStarts(controller_, attempts + 1);
}

// The guard fails (its commit) or throws (out of memory after some of its filters are in):
// the tunnel goes down again, the guard's text or exception reaches the caller, nothing of
// the guard is left in the engine, and the controller is idle: Stop does nothing, and the
// next Start runs the whole sequence.
TEST_F(TunnelControllerTest, GuardFailureTakesTheTunnelDownAndPassesItOn) {
  for (const bool throws : {false, true}) {
    SCOPED_TRACE(throws ? "guard throws" : "guard fails");
    const standins::Scope case_stand_ins;
    TunnelController controller(&guard_);
    if (throws) {
      engine::SetHook([](engine::Op op, int nth) {
        if (op == engine::Op::kAddFilter && nth == 3) throw std::bad_alloc();
      });
      EXPECT_THROW(controller.Start(), std::bad_alloc);
      engine::SetHook(nullptr);
    } else {
      engine::FailAt(engine::Op::kCommitTransaction, 1, 0x80320017);
      ExpectFailure(controller.Start(), "FwpmTransactionCommit0 failed: 2150760471");
    }
    EXPECT_EQ(t2p::Recorded().runs_inside, 0);
    EXPECT_EQ(t2p::Recorded().calls, (Calls{"set_log_callback", "run", "stop"}));
    ExpectStoppedOnceThenStartsAgain(controller);
  }
}

TEST_F(TunnelControllerTest, LibraryEndingByItselfNeedsAStopBeforeTheNextStart) {
  ExpectSuccess(controller_.Start());

  t2p::EndRunsByThemselves();
  ASSERT_TRUE(WaitUntil([&] { return !controller_.IsRunning(); }));
  EXPECT_FALSE(controller_.GetStatus().running);
  // The filters stay until a stop, so DNS cannot leak past the dead tunnel.
  EXPECT_TRUE(FiltersInPlace());

  // Refused, but still a launch attempt: the log callback is cleared again.
  ExpectFailure(controller_.Start(), kStillStopping);
  EXPECT_EQ(t2p::Recorded().calls, (Calls{"set_log_callback", "run", "set_log_callback"}));
  EXPECT_EQ(GuardEnables(), 1);

  ExpectSuccess(controller_.Stop());
  ExpectStoppedOnceThenStartsAgain(controller_);
}

TEST_F(TunnelControllerTest, DestructorCompletesTheStopSequence) {
  {
    TunnelController controller(&guard_);
    ExpectSuccess(controller.Start());
  }
  EXPECT_EQ(t2p::Recorded().runs_inside, 0);
  EXPECT_EQ(t2p::Recorded().stop_calls, 1);
  EXPECT_EQ(GuardDisables(), 1);
  EXPECT_TRUE(EngineEmpty());
}

// The worker thread cannot be created: the standard system error reaches the caller and
// the controller is idle again, its lock free.
TEST_F(TunnelControllerTest, ThreadCreationFailureRaisesTheSystemErrorAndLeavesItIdle) {
  platform_standin::FailNextLaunch();

  EXPECT_THAT([&] { controller_.Start(); },
              ::testing::Throws<std::system_error>(::testing::Property(
                  &std::system_error::code, std::errc::resource_unavailable_try_again)));
  EXPECT_EQ(t2p::Recorded().calls, Calls{"set_log_callback"});
  EXPECT_EQ(GuardEnables(), 0);
  // Idle: Stop has nothing to stop (a flag left set would send it into the stop sequence).
  ExpectIdle(controller_, 0);
  EXPECT_TRUE(engine::Recorded().calls.empty());

  // The lock was released on the way out and the flag brought back: Start works again.
  ExpectStarts(controller_, 1);
  EXPECT_EQ(platform_standin::LaunchCalls(), 2);
  ExpectSuccess(controller_.Stop());
  EXPECT_EQ(GuardDisables(), 1);
}

// The run call returns while the guard is being enabled (the lookup waits for it): Start
// must not answer success for a tunnel that "active" already reports down, nor leave the
// filters of a gone adapter in place and the ended worker unjoined (the next Start would
// then answer "still stopping"). The stop sequence runs.
TEST_F(TunnelControllerTest, RunEndingDuringTheGuardsEnableIsReportedAndStopped) {
  bool ended_in_enable = false;
  OnGuardEnable([&] {
    t2p::EndRunsByThemselves();
    ended_in_enable = WaitUntil([&] { return !controller_.IsRunning(); });
  });

  ExpectFailure(controller_.Start(), kExitedPrematurely);
  EXPECT_TRUE(ended_in_enable);
  EXPECT_EQ(t2p::Recorded().runs_inside, 0);
  EXPECT_EQ(t2p::Recorded().calls, (Calls{"set_log_callback", "run", "stop"}));
  // The guard was enabled and then disabled again: no filter is left live.
  EXPECT_EQ(GuardEnables(), 1);
  // The worker was joined: the next Start launches instead of answering "still stopping".
  interfaces_standin::SetLookupHook(nullptr);
  ExpectStoppedOnceThenStartsAgain(controller_);
}

// A run call that registers itself with the library only after the first stop: that stop
// is lost, as with the real library. The stop sequence repeats tun2proxy_stop until the
// run has returned; with a single stop, Stop (and the service's shutdown) would wait
// forever.
TEST_F(TunnelControllerTest, RunThatRegistersLateIsStillStopped) {
  t2p::SetRunMode(t2p::RunMode::kRegistersLate, std::chrono::milliseconds(300));
  ExpectSuccess(controller_.Start());
  // The repeat waits on the real clock: on the virtual one each wait for the lost stop
  // would last the stand-in's real limit.
  platform_standin::UseVirtualClock(false);

  std::future<OpResult> stop = RunAsync([&] { return controller_.Stop(); });
  const bool stopped = stop.wait_for(kLongWait) == std::future_status::ready;
  if (!stopped) t2p::EndRunsByThemselves();  // lets the test binary end
  ASSERT_TRUE(stopped) << "Stop did not return while the run registered late";
  ExpectSuccess(stop.get());
  EXPECT_FALSE(controller_.IsRunning());
  EXPECT_EQ(t2p::Recorded().runs_inside, 0);
  EXPECT_GE(t2p::Recorded().stop_calls, 2);
  EXPECT_TRUE(EngineEmpty());
}

}  // namespace
}  // namespace brumo
