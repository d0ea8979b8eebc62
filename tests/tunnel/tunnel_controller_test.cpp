// The controller's states and transitions, one thread at a time, against the tun2proxy
// and guard stand-ins.
#include "tunnel/tunnel_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <string>
#include <vector>

#include "tests/tunnel/tunnel_test_support.h"

namespace brumo {
namespace {

namespace t2p = fake_tun2proxy;
namespace guard = fake_dns_guard;
using namespace tunnel_test;
using Calls = std::vector<std::string>;

void TestLogCallback(int, const char*, void*) {}

using TunnelControllerTest = TunnelTest;

TEST_F(TunnelControllerTest, IdleControllerCallsNothing) {
  {
    TunnelController controller(&guard_);
    EXPECT_FALSE(controller.IsRunning());
    EXPECT_FALSE(controller.GetStatus().running);
    ExpectSuccess(controller.Stop());
    ExpectSuccess(controller.Stop());
  }
  EXPECT_EQ(t2p::CallOrder(), Calls{});
  EXPECT_EQ(guard::CallOrder(), Calls{});
}

// Start and Stop, with the library's results zero and non-zero: the results change nothing.
TEST_F(TunnelControllerTest, StartThenStop) {
  struct Case {
    const char* name;
    int run_result;
    int stop_result;
  };
  for (const Case& c :
       {Case{"library results zero", 0, 0}, Case{"library results non-zero", 1, -1}}) {
    SCOPED_TRACE(c.name);
    t2p::Reset();
    guard::Reset();
    t2p::SetRunResult(c.run_result);
    t2p::SetStopResult(c.stop_result);
    int dummy_context = 0;
    tun2proxy_set_log_callback(&TestLogCallback, &dummy_context);

    TunnelController controller(&guard_);
    bool running_at_disable = true;
    int runs_inside_at_disable = -1;
    guard::SetDisableHook([&] {
      running_at_disable = controller.IsRunning();
      runs_inside_at_disable = t2p::RunsInside();
    });

    ExpectSuccess(controller.Start());
    EXPECT_TRUE(controller.IsRunning());
    EXPECT_TRUE(controller.GetStatus().running);
    EXPECT_EQ(t2p::RunsInside(), 1);
    EXPECT_TRUE(guard::IsEnabled());
    EXPECT_EQ(guard::EnableAliases(), Calls{"brumotun"});
    const t2p::RunArgs expected_run{
        "socks5://127.0.0.1:12735", "brumotun", "10.255.255.255/32", 2, false, 0};
    EXPECT_EQ(t2p::RecordedRuns(), std::vector<t2p::RunArgs>{expected_run});
    // The launch removed the callback installed above before the run call.
    EXPECT_EQ(t2p::InstalledLogCallback(), nullptr);
    EXPECT_EQ(t2p::InstalledLogContext(), nullptr);
    EXPECT_EQ(t2p::CallOrder(), (Calls{"set_log_callback", "set_log_callback", "run"}));

    ExpectSuccess(controller.Stop());
    EXPECT_FALSE(controller.IsRunning());
    EXPECT_FALSE(controller.GetStatus().running);
    EXPECT_FALSE(guard::IsEnabled());
    EXPECT_EQ(t2p::CallOrder(), (Calls{"set_log_callback", "set_log_callback", "run", "stop"}));
    EXPECT_EQ(guard::CallOrder(), (Calls{"enable", "disable"}));
    // The filters go only once the worker has been joined.
    EXPECT_FALSE(running_at_disable);
    EXPECT_EQ(runs_inside_at_disable, 0);

    // Nothing is left to stop.
    ExpectSuccess(controller.Stop());
    EXPECT_EQ(t2p::StopCalls(), 1);
    EXPECT_EQ(guard::DisableCalls(), 1);
    guard::SetDisableHook(nullptr);
  }
}

TEST_F(TunnelControllerTest, StartWhileRunningIsRefusedAtOnceAndChangesNothing) {
  TunnelController controller(&guard_);
  ExpectSuccess(controller.Start());
  ExpectFailure(controller.Start(), kAlreadyRunning);
  EXPECT_TRUE(controller.IsRunning());
  EXPECT_EQ(t2p::CallOrder(), (Calls{"set_log_callback", "run"}));
  EXPECT_EQ(guard::CallOrder(), Calls{"enable"});
}

// A run call that ends within the launch check: the worker is joined, the guard is left
// alone, and the next Start launches again (a worker left unjoined would make it answer
// "still stopping").
TEST_F(TunnelControllerTest, RunEndingWithinTheLaunchCheckIsReportedAndJoined) {
  struct Case {
    const char* name;
    t2p::RunMode mode;
    std::chrono::milliseconds delay;
    int run_result;
  };
  const Case cases[] = {
      {"returns at once", t2p::RunMode::kReturn, std::chrono::milliseconds(0), 0},
      {"returns at once with an error", t2p::RunMode::kReturn, std::chrono::milliseconds(0), 1},
      {"returns after 50 ms", t2p::RunMode::kDelay, std::chrono::milliseconds(50), 0},
  };
  TunnelController controller(&guard_);
  int attempts = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    t2p::SetRunMode(c.mode, c.delay);
    t2p::SetRunResult(c.run_result);
    ExpectFailure(controller.Start(), kExitedPrematurely);
    ++attempts;
    EXPECT_FALSE(controller.IsRunning());
    EXPECT_EQ(t2p::RunCalls(), attempts);
    EXPECT_EQ(t2p::SetLogCallbackCalls(), attempts);
    EXPECT_EQ(t2p::StopCalls(), 0);
    EXPECT_EQ(guard::CallOrder(), Calls{});
    // Idle again: a stop has nothing to do.
    ExpectSuccess(controller.Stop());
    EXPECT_EQ(t2p::StopCalls(), 0);
  }

  t2p::SetRunMode(t2p::RunMode::kBlock);
  t2p::SetRunResult(0);
  ExpectSuccess(controller.Start());
  EXPECT_EQ(t2p::RunCalls(), attempts + 1);
  EXPECT_EQ(guard::CallOrder(), Calls{"enable"});
}

TEST_F(TunnelControllerTest, GuardFailureTakesTheTunnelDownAndPassesTheMessageOn) {
  TunnelController controller(&guard_);
  bool running_at_disable = true;
  int runs_inside_at_disable = -1;
  guard::SetDisableHook([&] {
    running_at_disable = controller.IsRunning();
    runs_inside_at_disable = t2p::RunsInside();
  });
  guard::SetEnableResult(OpResult::Failure("FwpmEngineOpen0 failed: 5"));

  ExpectFailure(controller.Start(), "FwpmEngineOpen0 failed: 5");
  EXPECT_FALSE(controller.IsRunning());
  EXPECT_EQ(t2p::CallOrder(), (Calls{"set_log_callback", "run", "stop"}));
  EXPECT_EQ(guard::CallOrder(), (Calls{"enable", "disable"}));
  EXPECT_FALSE(running_at_disable);
  EXPECT_EQ(runs_inside_at_disable, 0);

  // Idle afterwards: Stop does nothing, and a Start with a working guard succeeds.
  ExpectSuccess(controller.Stop());
  EXPECT_EQ(t2p::StopCalls(), 1);
  EXPECT_EQ(guard::DisableCalls(), 1);
  guard::SetEnableResult(OpResult::Success());
  ExpectSuccess(controller.Start());
  EXPECT_TRUE(controller.IsRunning());
  EXPECT_EQ(t2p::RunCalls(), 2);
  guard::SetDisableHook(nullptr);
}

TEST_F(TunnelControllerTest, GuardThatThrowsTakesTheTunnelDownAndTheErrorGoesUp) {
  TunnelController controller(&guard_);
  guard::SetEnableHook([] { throw std::bad_alloc(); });

  EXPECT_THROW(controller.Start(), std::bad_alloc);
  EXPECT_FALSE(controller.IsRunning());
  EXPECT_EQ(t2p::RunsInside(), 0);
  EXPECT_EQ(t2p::CallOrder(), (Calls{"set_log_callback", "run", "stop"}));
  EXPECT_EQ(guard::CallOrder(), (Calls{"enable", "disable"}));

  // Nothing is left half-done: the next Start runs the whole sequence again.
  guard::SetEnableHook(nullptr);
  ExpectSuccess(controller.Start());
  EXPECT_TRUE(controller.IsRunning());
  EXPECT_EQ(t2p::RunCalls(), 2);
}

TEST_F(TunnelControllerTest, LibraryEndingByItselfNeedsAStopBeforeTheNextStart) {
  TunnelController controller(&guard_);
  ExpectSuccess(controller.Start());

  t2p::EndRunsByThemselves();
  ASSERT_TRUE(WaitUntil([&] { return !controller.IsRunning(); }));
  EXPECT_FALSE(controller.GetStatus().running);
  // The filters stay until a stop, so DNS cannot leak past the dead tunnel.
  EXPECT_TRUE(guard::IsEnabled());

  // Refused, but still a launch attempt: the log callback is cleared again.
  ExpectFailure(controller.Start(), kStillStopping);
  EXPECT_EQ(t2p::CallOrder(), (Calls{"set_log_callback", "run", "set_log_callback"}));
  EXPECT_EQ(guard::CallOrder(), Calls{"enable"});

  ExpectSuccess(controller.Stop());
  EXPECT_EQ(t2p::StopCalls(), 1);
  EXPECT_EQ(guard::CallOrder(), (Calls{"enable", "disable"}));
  EXPECT_FALSE(guard::IsEnabled());

  ExpectSuccess(controller.Start());
  EXPECT_TRUE(controller.IsRunning());
  EXPECT_EQ(t2p::RunCalls(), 2);
  EXPECT_TRUE(guard::IsEnabled());
}

TEST_F(TunnelControllerTest, DestructorCompletesTheStopSequence) {
  {
    TunnelController controller(&guard_);
    ExpectSuccess(controller.Start());
  }
  EXPECT_EQ(t2p::RunsInside(), 0);
  EXPECT_EQ(t2p::StopCalls(), 1);
  EXPECT_EQ(guard::CallOrder(), (Calls{"enable", "disable"}));
  EXPECT_FALSE(guard::IsEnabled());
}

}  // namespace
}  // namespace brumo
