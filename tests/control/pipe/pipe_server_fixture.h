// Shared pieces of the pipe server tests: the real server (over the real named pipe, or the
// pipe stand-in on the host) serving a real tunnel controller and guard that run over the
// stand-ins of tun2proxy, the filter engine, the interface lookup and the thread launch; a
// timed Stop.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "control/command_protocol.h"
#include "control/control_pipe_server.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/standins/standins.h"
#include "tests/support/test_support.h"
#include "tunnel/tunnel_controller.h"

namespace brumo::pipe_test {

using namespace ::brumo::test_support;

// Stop returns within about one second whatever a client does; this bound leaves room
// for a loaded machine. A lost stop hangs instead.
inline constexpr auto kStopBound = std::chrono::seconds(2);

inline std::chrono::milliseconds TimedStop(ControlPipeServer& server) {
  const auto start = std::chrono::steady_clock::now();
  server.Stop();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

// A server that is not started by the fixture.
class PipeServerTest : public ::testing::Test {
 protected:
  // The reply the server must send for exactly these request bytes. Only for requests
  // that do not change the controller (malformed or unknown commands, "active").
  std::string ExpectedReply(std::string_view request) {
    return ProcessRequest(request, controller_);
  }

  // Every stand-in at its default for the test's life: threads and clock are real. The
  // server and the controller stop as they go, before it.
  standins::Scope standins_{/*virtual_clock=*/false};
  DnsLeakGuard guard_;
  TunnelController controller_{&guard_};
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
