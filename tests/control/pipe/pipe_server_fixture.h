// Shared pieces of the Windows pipe server tests: a server over the stand-in controller,
// the exact replies the stand-in yields, and a timed Stop.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "control/control_pipe_server.h"
#include "tests/fakes/controller/fake_controller.h"
#include "tunnel/tunnel_controller.h"

namespace brumo::pipe_test {

inline constexpr std::string_view kActiveRequest = R"({"command":"active"})";
inline constexpr std::string_view kInactiveReply =
    R"({"message":"inactive","running":false,"status":"ok"})";

// Stop returns within about one second whatever a client does; this bound leaves room
// for a loaded machine. A lost stop hangs instead.
inline constexpr auto kStopBound = std::chrono::seconds(2);

inline std::chrono::milliseconds TimedStop(ControlPipeServer& server) {
  const auto start = std::chrono::steady_clock::now();
  server.Stop();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

// A server that is not started by the fixture, over a fresh stand-in controller.
class PipeServerTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_controller::Reset(); }
  void TearDown() override { server_.Stop(); }

  // The reply the server must send for exactly these request bytes, from a server object
  // of its own. Only for requests that do not reach the controller (malformed or unknown
  // commands): the protocol keeps no state of its own.
  std::string ExpectedReply(std::string_view request) {
    ControlPipeServer reference(&controller_);
    return reference.ProcessRequest(request);
  }

  TunnelController controller_{nullptr};
  ControlPipeServer server_{&controller_};
};

// The same, started.
class RunningPipeServerTest : public PipeServerTest {
 protected:
  void SetUp() override {
    PipeServerTest::SetUp();
    ASSERT_TRUE(server_.Start());
  }
};

}  // namespace brumo::pipe_test
