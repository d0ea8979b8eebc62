// Shared pieces of the tunnel controller tests: a fixture that resets the stand-ins and
// checks the guard was never entered by two threads, a one-shot gate, and result checks.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>

#include "dnsguard/dns_leak_guard.h"
#include "tests/fakes/dns_guard/fake_dns_guard.h"
#include "tests/fakes/tun2proxy/fake_tun2proxy.h"
#include "tunnel/op_result.h"

namespace brumo {

inline void PrintTo(const OpResult& result, std::ostream* os) {
  *os << "{ok=" << result.ok << ", message=\"" << result.message << "\"}";
}

namespace fake_tun2proxy {
inline void PrintTo(const RunArgs& args, std::ostream* os) {
  *os << "{" << args.proxy_url << ", " << args.tun << ", " << args.bypass << ", "
      << args.dns_strategy << ", " << args.root_privilege << ", " << args.verbosity << "}";
}
}  // namespace fake_tun2proxy

namespace tunnel_test {

inline constexpr char kAlreadyRunning[] = "VPN already running";
inline constexpr char kStillStopping[] = "previous instance still stopping - call stop() first";
inline constexpr char kExitedPrematurely[] = "tun2proxy thread exited prematurely";

// Generous bound for anything that should happen promptly; only ever hit when the code
// under test is wrong (or the machine is stalled).
inline constexpr std::chrono::seconds kLongWait{10};

inline void ExpectSuccess(const OpResult& result) {
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.message, "");
}

inline void ExpectFailure(const OpResult& result, const std::string& message) {
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, message);
}

// Polls `condition` until it holds; false after kLongWait.
inline bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kLongWait;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs `op` on a thread of its own.
inline std::future<OpResult> RunAsync(std::function<OpResult()> op) {
  return std::async(std::launch::async, std::move(op));
}

// Closed until opened once; waiters give up after kLongWait so that a broken test ends.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return opened_.wait_for(lock, kLongWait, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

class TunnelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_tun2proxy::Reset();
    fake_dns_guard::Reset();
  }
  void TearDown() override {
    EXPECT_LE(fake_dns_guard::MaxThreadsInside(), 1)
        << "two threads were inside the DNS leak guard at once";
    EXPECT_EQ(fake_tun2proxy::RunsInside(), 0) << "a worker is still inside the run call";
  }

  DnsLeakGuard guard_;
};

}  // namespace tunnel_test
}  // namespace brumo
