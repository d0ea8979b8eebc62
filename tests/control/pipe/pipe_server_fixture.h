// Shared pieces of the Windows pipe server tests: the real server over the real named pipe,
// serving a real tunnel controller and guard that run over the stand-ins of tun2proxy, the
// filter engine, the interface lookup and the thread launch; the exact replies; a timed
// Stop.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "control/command_protocol.h"
#include "control/control_pipe_server.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/standins/standins.h"
#include "tunnel/tunnel_controller.h"

namespace brumo::pipe_test {

inline constexpr std::string_view kActiveRequest = R"({"command":"active"})";
inline constexpr std::string_view kStartRequest = R"({"command":"start"})";
inline constexpr std::string_view kInactiveReply =
    R"({"message":"inactive","running":false,"status":"ok"})";
inline constexpr std::string_view kActiveReply =
    R"({"message":"active","running":true,"status":"ok"})";
inline constexpr std::string_view kStartedReply =
    R"({"message":"VPN started successfully","status":"ok"})";

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
  // Every stand-in back to its default: threads and clock are real.
  void SetUp() override { standins::ResetStandIns(/*virtual_clock=*/false); }
  void TearDown() override {
    server_.Stop();
    controller_.Stop();
  }

  // The reply the server must send for exactly these request bytes. Only for requests
  // that do not change the controller (malformed or unknown commands, "active").
  std::string ExpectedReply(std::string_view request) {
    return ProcessRequest(request, controller_);
  }

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
