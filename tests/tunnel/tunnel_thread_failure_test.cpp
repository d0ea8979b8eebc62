// The worker thread cannot be created: the standard system error reaches the caller and
// the controller is idle again, its lock free.
#include "tunnel/tunnel_controller.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "tests/fakes/thread_launch/fake_thread_launch.h"
#include "tests/tunnel/tunnel_test_support.h"

namespace brumo {
namespace {

namespace t2p = fake_tun2proxy;
namespace guard = fake_dns_guard;
namespace launch = fake_thread_launch;
using namespace tunnel_test;
using Calls = std::vector<std::string>;

using TunnelThreadFailureTest = TunnelTest;

TEST_F(TunnelThreadFailureTest, StartRaisesTheSystemErrorAndLeavesTheControllerIdle) {
  launch::Reset();
  TunnelController controller(&guard_);
  launch::FailNextLaunch();

  try {
    controller.Start();
    ADD_FAILURE() << "Start returned although no worker could be created";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::resource_unavailable_try_again);
  }
  EXPECT_FALSE(controller.IsRunning());
  EXPECT_FALSE(controller.GetStatus().running);
  EXPECT_EQ(t2p::CallOrder(), Calls{"set_log_callback"});
  EXPECT_EQ(guard::CallOrder(), Calls{});

  // Idle: Stop has nothing to stop (a flag left set would send it into the stop sequence).
  ExpectSuccess(controller.Stop());
  EXPECT_EQ(t2p::StopCalls(), 0);
  EXPECT_EQ(guard::DisableCalls(), 0);

  // The lock was released on the way out and the flag brought back: Start works again.
  ExpectSuccess(controller.Start());
  EXPECT_TRUE(controller.IsRunning());
  EXPECT_EQ(launch::LaunchCalls(), 2);
  EXPECT_EQ(t2p::RunCalls(), 1);
  ExpectSuccess(controller.Stop());
  EXPECT_EQ(guard::CallOrder(), (Calls{"enable", "disable"}));
}

}  // namespace
}  // namespace brumo
