// Start, Stop and the destructor of the pipe server: the thread management that is the
// same on every platform. Runs on the host (over the pipe stand-in) and under Wine (over
// the real pipe).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "control/control_pipe_server.h"
#include "dnsguard/dns_leak_guard.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using std::chrono::steady_clock;

// Far above what a stop takes (milliseconds); a lost stop hangs instead.
constexpr auto kStopBound = std::chrono::seconds(3);

class PipeServerLifecycleTest : public ::testing::Test {
 protected:
  DnsLeakGuard guard_;
  TunnelController controller_{&guard_};
};

TEST_F(PipeServerLifecycleTest, StopOnIdleServerReturnsAtOnce) {
  ControlPipeServer server(&controller_);
  const auto start = steady_clock::now();
  server.Stop();
  server.Stop();
  EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(500));
}

// A second thread would be moved into the joinable thread_ (std::terminate), or would
// stay behind unjoined after Stop.
TEST_F(PipeServerLifecycleTest, StartTwiceKeepsOneThreadAndStopEndsIt) {
  ControlPipeServer server(&controller_);
  EXPECT_TRUE(server.Start());
  EXPECT_TRUE(server.Start());
  const auto start = steady_clock::now();
  server.Stop();
  EXPECT_LT(steady_clock::now() - start, kStopBound);
}

// A stop right behind the start meets the thread before its first test of the stop
// request, or while it sets up; neither may lose the stop, and each Start after a Stop
// runs a fresh thread.
TEST_F(PipeServerLifecycleTest, StopRightAfterStartIsNeverLost) {
  ControlPipeServer server(&controller_);
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(server.Start());
    const auto start = steady_clock::now();
    server.Stop();
    ASSERT_LT(steady_clock::now() - start, kStopBound);
  }
}

TEST_F(PipeServerLifecycleTest, DestructorStopsARunningServer) {
  auto server = std::make_unique<ControlPipeServer>(&controller_);
  ASSERT_TRUE(server->Start());
  const auto start = steady_clock::now();
  server.reset();
  EXPECT_LT(steady_clock::now() - start, kStopBound);
}

}  // namespace
}  // namespace brumo
