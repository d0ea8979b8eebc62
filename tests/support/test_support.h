// What the tests and benches share: the bound of their waits, a poll until a condition
// holds, and the control pipe's requests and replies byte for byte, as a client writes and
// reads them.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>
#include <thread>

namespace brumo::test_support {

// Generous bound for anything that should happen promptly; only ever reached when the code
// under test is wrong (or the machine is stalled).
inline constexpr std::chrono::seconds kLongWait{10};

// Polls `condition` until it holds; false once `limit` has passed.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = kLongWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline constexpr std::string_view kStartRequest = R"({"command":"start"})";
inline constexpr std::string_view kStopRequest = R"({"command":"stop"})";
inline constexpr std::string_view kActiveRequest = R"({"command":"active"})";

inline constexpr std::string_view kStartedReply =
    R"({"message":"VPN started successfully","status":"ok"})";
inline constexpr std::string_view kStoppedReply =
    R"({"message":"VPN stopped successfully","status":"ok"})";
inline constexpr std::string_view kAlreadyRunningReply =
    R"({"message":"VPN already running","status":"error"})";
inline constexpr std::string_view kExitedPrematurelyReply =
    R"({"message":"tun2proxy thread exited prematurely","status":"error"})";
inline constexpr std::string_view kActiveReply =
    R"({"message":"active","running":true,"status":"ok"})";
inline constexpr std::string_view kInactiveReply =
    R"({"message":"inactive","running":false,"status":"ok"})";

}  // namespace brumo::test_support
