// The server's loop over the pipe stand-in, on the virtual clock: a connect that fails,
// an instance that breaks, and what a client being served has once a stop comes.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "control/control_pipe_server.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/standins/pipe/pipe_standin.h"
#include "tests/standins/platform/platform_standin.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

namespace ps = pipe_standin;
using std::chrono::milliseconds;

// The server thread's calls, in order. At the `nth` call named `hold_at` the thread is held
// until the test's stop has been signalled, so the stop comes exactly there.
class CallLog {
 public:
  CallLog(std::string hold_at, int nth) : hold_at_(std::move(hold_at)), nth_(nth) {}

  void Record(std::string_view call) {
    std::unique_lock<std::mutex> lock(mutex_);
    calls_.emplace_back(call);
    if (call != hold_at_ || ++seen_ != nth_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return signalled_; });
  }
  void Signalled() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    changed_.notify_all();
  }
  bool WaitHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return held_; });
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  const std::string hold_at_;
  const int nth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  int seen_ = 0;
  bool held_ = false;
  bool signalled_ = false;
};

TEST(PipeServerLoopTest, RetriesAndStopGraceOnTheVirtualClock) {
  struct Case {
    const char* name;
    int connect_failures;
    bool broken;
    std::optional<ps::Client> client;
    std::string stop_at;
    int nth;
    std::vector<std::string> calls;
  };
  const std::string wait = "WaitForStop 1000";
  const std::string created = "CreateInstance", closed = "CloseInstance", connect = "StartConnect",
                    read = "StartRead", write = "StartWrite", taken = "reply taken",
                    dropped = "DropClient";
  const Case cases[] = {
      {"connect fails: the instance is kept, a wait before each try",
       3,
       false,
       {},
       connect,
       4,
       {created, connect, wait, connect, wait, connect, wait, connect, closed}},
      {"unusable instance: closed, a wait, made again",
       0,
       true,
       {},
       connect,
       2,
       {created, connect, closed, wait, created, connect, closed}},
      {"stop during the wait",
       100,
       false,
       {},
       wait,
       2,
       {created, connect, wait, connect, wait, closed}},
      {"no stop: each part has the client time-out",
       0,
       false,
       ps::Client{milliseconds(4000), milliseconds(4000)},
       connect,
       2,
       {created, connect, read, write, taken, dropped, connect, closed}},
      {"stop: a live client has the grace for each part",
       0,
       false,
       ps::Client{milliseconds(400), milliseconds(400)},
       read,
       1,
       {created, connect, read, write, taken, dropped, closed}},
      {"stop: a request later than the grace",
       0,
       false,
       ps::Client{milliseconds(600), milliseconds(0)},
       read,
       1,
       {created, connect, read, dropped, closed}},
      {"stop: a reply taken later than the grace",
       0,
       false,
       ps::Client{milliseconds(0), milliseconds(600)},
       read,
       1,
       {created, connect, read, write, "reply not taken", dropped, closed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ps::Reset();
    platform_standin::Reset();
    platform_standin::UseVirtualClock(true);
    ps::FailConnects(c.connect_failures);
    if (c.broken) ps::BreakInstance();
    if (c.client) ps::ScriptClient(*c.client);
    CallLog log(c.stop_at, c.nth);
    ps::SetTrace([&log](std::string_view call) { log.Record(call); });
    ps::SetHook([&log](std::string_view call) {
      if (call == "SignalStop") log.Signalled();
    });

    DnsLeakGuard guard;
    TunnelController controller(&guard);
    ControlPipeServer server(&controller);
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(log.WaitHeld());
    server.Stop();
    EXPECT_EQ(log.Calls(), c.calls);
    ps::Reset();
  }
  platform_standin::Reset();
}

}  // namespace
}  // namespace brumo
