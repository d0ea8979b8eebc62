// Start, Stop and the destructor of the pipe server: the thread management that is the
// same on every platform. Runs on the host (over the pipe stand-in) and under Wine (over
// the real pipe).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "tests/control/pipe/pipe_server_fixture.h"

namespace brumo::pipe_test {
namespace {

using PipeServerLifecycleTest = PipeServerTest;

TEST_F(PipeServerLifecycleTest, StopOnIdleServerReturnsAtOnce) {
  EXPECT_LT(TimedStop(server_) + TimedStop(server_), std::chrono::milliseconds(500));
}

// A second thread would be moved into the joinable thread_ (std::terminate), or would
// stay behind unjoined after Stop.
TEST_F(PipeServerLifecycleTest, StartTwiceKeepsOneThreadAndStopEndsIt) {
  EXPECT_TRUE(server_.Start());
  EXPECT_TRUE(server_.Start());
  EXPECT_LT(TimedStop(server_), kStopBound);
}

// A stop right behind the start meets the thread before its first test of the stop
// request, or while it sets up; neither may lose the stop, and each Start after a Stop
// runs a fresh thread.
TEST_F(PipeServerLifecycleTest, StopRightAfterStartIsNeverLost) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(server_.Start());
    ASSERT_LT(TimedStop(server_), kStopBound);
  }
}

TEST_F(PipeServerLifecycleTest, DestructorStopsARunningServer) {
  auto server = std::make_unique<ControlPipeServer>(&controller_);
  ASSERT_TRUE(server->Start());
  const auto start = std::chrono::steady_clock::now();
  server.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, kStopBound);
}

}  // namespace
}  // namespace brumo::pipe_test
