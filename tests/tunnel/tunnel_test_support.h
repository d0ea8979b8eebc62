// Shared pieces of the tunnel controller tests: a fixture that holds the stand-ins under
// the controller and its real guard, and the cases' controller, and checks that the guard
// never held two threads; a one-shot gate, and result checks.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>

#include "common/op_result.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/standins/standins.h"
#include "tests/support/test_support.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {

namespace tun2proxy_standin {
inline void PrintTo(const RunArgs& args, std::ostream* os) { *os << LogLine(args); }
}  // namespace tun2proxy_standin

namespace tunnel_test {

namespace t2p = tun2proxy_standin;
namespace engine = wfp_standin;

inline constexpr char kAlreadyRunning[] = "VPN already running";
inline constexpr char kStillStopping[] = "previous instance still stopping - call stop() first";
inline constexpr char kExitedPrematurely[] = "tun2proxy thread exited prematurely";

using test_support::kLongWait;
using test_support::WaitUntil;

inline void ExpectSuccess(const OpResult& result) {
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.message, "");
}

inline void ExpectFailure(const OpResult& result, const std::string& message) {
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message, message);
}

// The guard's state as the engine shows it: its twelve filters in place under one handle,
// or nothing of it at all.
inline bool FiltersInPlace() {
  const engine::Record r = engine::Recorded();
  return r.live_filter_ids.size() == 12 && r.open_handles == 1 && r.open_transactions == 0;
}
inline bool EngineEmpty() {
  const engine::Record r = engine::Recorded();
  return r.live_filter_ids.empty() && r.live_sublayer_keys.empty() && r.open_handles == 0 &&
         r.open_transactions == 0;
}
// Enables that reached the guard's work (each looks the adapter up once), and disables
// that had filters to remove (each closes the engine once).
inline int GuardEnables() { return static_cast<int>(interfaces_standin::LookedUpAliases().size()); }
inline int GuardDisables() {
  const std::vector<engine::Op> ops = engine::Recorded().ops;
  return static_cast<int>(std::count(ops.begin(), ops.end(), engine::Op::kCloseEngine));
}

// Idle, as both queries show it, and a Stop has nothing to do: the library's stops stay at
// `stop_calls`.
inline void ExpectIdle(TunnelController& controller, int stop_calls) {
  EXPECT_FALSE(controller.IsRunning());
  EXPECT_FALSE(controller.GetStatus().running);
  ExpectSuccess(controller.Stop());
  EXPECT_EQ(t2p::Recorded().stop_calls, stop_calls);
}
// The controller starts (again), through the whole sequence: its `run_calls`th run call and
// the guard's filters.
inline void ExpectStarts(TunnelController& controller, int run_calls) {
  ExpectSuccess(controller.Start());
  EXPECT_TRUE(controller.IsRunning());
  EXPECT_EQ(t2p::Recorded().run_calls, run_calls);
  EXPECT_TRUE(FiltersInPlace());
}
// One run and one stop sequence behind the controller: idle, the guard disabled once and
// nothing left in the engine; with the hooks of the library's stop and the engine cleared, it
// starts again.
inline void ExpectStoppedOnceThenStartsAgain(TunnelController& controller) {
  EXPECT_EQ(t2p::Recorded().run_calls, 1);
  ExpectIdle(controller, 1);
  EXPECT_EQ(GuardDisables(), 1);
  EXPECT_TRUE(EngineEmpty());
  t2p::SetStopHook(nullptr);
  engine::SetHook(nullptr);
  ExpectStarts(controller, 2);
}

// Runs `hook` inside the guard's Enable (at its lookup of the adapter), on the caller's
// thread.
inline void OnGuardEnable(std::function<void()> hook) {
  interfaces_standin::SetLookupHook(
      [hook = std::move(hook)](std::string_view) -> std::optional<InterfaceIndexResult> {
        if (hook) hook();
        return std::nullopt;
      });
}
// Runs `hook` inside the guard's removal of its filters (at the engine's close); it must
// not throw.
inline void OnGuardDisable(std::function<void()> hook) {
  engine::SetHook([hook = std::move(hook)](engine::Op op, int) {
    if (op == engine::Op::kCloseEngine && hook) hook();
  });
}

// Runs `op` on a thread of its own.
inline std::future<OpResult> RunAsync(std::function<OpResult()> op) {
  return std::async(std::launch::async, std::move(op));
}

// Closed until opened (again and again: the first time counts); waiters give up after
// kLongWait so that a broken test ends.
class Gate {
 public:
  void Open() {
    std::call_once(once_, [this] { promise_.set_value(); });
  }
  bool Wait() { return opened_.wait_for(kLongWait) == std::future_status::ready; }

 private:
  std::once_flag once_;
  std::promise<void> promise_;
  std::shared_future<void> opened_ = promise_.get_future().share();
};

// A point where a thread waits to be released; `reached` opens when one gets there.
struct Hold {
  Gate reached, release;
  std::function<void()> Here() {
    return [this] {
      reached.Open();
      release.Wait();
    };
  }
};

class TunnelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    controller_.Stop();
    EXPECT_LE(engine::Recorded().max_threads_inside, 1)
        << "two threads were inside the DNS leak guard";
    EXPECT_EQ(t2p::Recorded().runs_inside, 0) << "a worker is still inside the run call";
  }

  // On the virtual clock: the launch check costs no real time. Cases whose run call must
  // end within the launch check turn the real clock back on. Declared first, ended last.
  standins::Scope stand_ins_;
  // Controllers made by the cases stop through it.
  DnsLeakGuard guard_;
  // The cases' controller, unless a case needs one of its own; stopped by TearDown.
  TunnelController controller_{&guard_};
};

}  // namespace tunnel_test
}  // namespace brumo
