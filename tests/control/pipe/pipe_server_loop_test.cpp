// The server's loop over the pipe stand-in, on the virtual clock: a connect that fails,
// an instance that breaks, the pause between tries, and what a client being served has once
// a stop comes.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "control/control_pipe_server.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/standins/pipe/pipe_standin.h"
#include "tests/standins/platform/platform_standin.h"
#include "tests/standins/standins.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

namespace ps = pipe_standin;
using std::chrono::milliseconds;

struct Served {
  std::string calls;  // the server thread's, in order
  int slept_ms = 0;   // on the virtual clock, in all
  std::uint32_t read_capacity = 0;
};

// Serves until the nth call named `stop_at`, where the thread waits until the stop has been
// signalled, so that the stop comes exactly then; `script` sets the stand-in up.
template <typename Script>
Served ServeUntilStopAt(std::string_view stop_at, int nth, Script script) {
  // The virtual clock without the launch check's hook: no tunnel starts here.
  const standins::Scope standins(/*virtual_clock=*/false);
  platform_standin::UseVirtualClock(true);
  script();
  Served run;
  std::promise<void> held, signalled;
  int seen = 0;
  ps::SetTrace([&](std::string_view call) {
    run.calls += (run.calls.empty() ? "" : " ") + std::string(call);
    if (call != stop_at || ++seen != nth) return;
    held.set_value();
    signalled.get_future().wait_for(std::chrono::seconds(10));
  });
  ps::SetHook([&](std::string_view call) {
    if (call == "SignalStop") signalled.set_value();
  });
  {
    DnsLeakGuard guard;
    TunnelController controller(&guard);
    ControlPipeServer server(&controller);
    EXPECT_TRUE(server.Start());
    EXPECT_EQ(held.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    server.Stop();  // joins the thread: `run` is ours again
  }
  for (const milliseconds sleep : platform_standin::Sleeps()) run.slept_ms += sleep.count();
  run.read_capacity = ps::ReadCapacity();
  return run;
}

TEST(PipeServerLoopTest, RetriesAndStopGraceOnTheVirtualClock) {
  struct Case {
    const char* name;
    int connect_failures;      // -1: the instance is unusable
    int request_ms, reply_ms;  // the client's times; -1: no client
    const char* stop_at;
    int nth;
    std::string calls;
    int slept_ms;
    bool stop_waits_fail = false;
  };
  const Case cases[] = {
      {"connect fails: the instance is kept and dropped, a wait before each try", 3, -1, -1,
       "connect", 4,
       "create connect drop wait-1000 connect drop wait-1000 connect drop wait-1000 connect close",
       3000},
      {"the stop wait fails: the pause is slept all the same", 2, -1, -1, "connect", 3,
       "create connect drop wait-1000 connect drop wait-1000 connect close", 2000, true},
      {"unusable instance: closed, a wait, made again", -1, -1, -1, "connect", 2,
       "create connect close wait-1000 create connect close", 1000},
      {"stop during the wait", 100, -1, -1, "wait-1000", 2,
       "create connect drop wait-1000 connect drop wait-1000 close", 1000},
      {"no stop: each part has the client time-out", 0, 4000, 4000, "connect", 2,
       "create connect read write flush taken drop connect close", 8000},
      {"stop as a client connects: dropped unserved", 0, 0, 0, "connect", 1,
       "create connect drop close", 0},
      {"stop before the request is in: dropped unanswered", 0, 400, 0, "read", 1,
       "create connect read drop close", 0},
      {"stop: a request in already is answered, the reply has the grace", 0, 0, 400, "read", 1,
       "create connect read write flush taken drop close", 400},
      {"stop: a reply taken later than the grace", 0, 0, 600, "read", 1,
       "create connect read write flush flush drop close", 500},
      {"stop first seen in the flush: the grace counts from then", 0, 0, 400, "flush", 1,
       "create connect read write flush flush taken drop close", 400},
      {"stop first seen in the flush: a reply taken later than the grace", 0, 0, 600, "flush", 1,
       "create connect read write flush flush flush drop close", 500},
      {"stop as the instance is made", 0, 0, 0, "create", 1, "create connect drop close", 0},
      {"stop while waiting for the next client", 0, 0, 0, "connect", 2,
       "create connect read write flush taken drop connect close", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Served run = ServeUntilStopAt(c.stop_at, c.nth, [&] {
      ps::FailConnects(c.connect_failures);
      if (c.connect_failures < 0) ps::BreakInstance();
      if (c.stop_waits_fail) ps::FailStopWaits();
      if (c.request_ms >= 0) {
        ps::ScriptClient({milliseconds(c.request_ms), milliseconds(c.reply_ms)});
      }
    });
    EXPECT_EQ(run.calls, c.calls);
    EXPECT_EQ(run.slept_ms, c.slept_ms);
    // One byte short of the buffer: a request that fills the read is one too long.
    EXPECT_EQ(run.read_capacity, c.calls.find("read") == std::string::npos ? 0u : 65'535u);
  }
  // A stop at any later call of the exchange: it ends as it would have, and nothing follows.
  for (const char* stop_at : {"write", "taken", "drop"}) {
    const Served run = ServeUntilStopAt(stop_at, 1, [] { ps::ScriptClient({}); });
    EXPECT_EQ(run.calls, "create connect read write flush taken drop close") << stop_at;
  }
}

}  // namespace
}  // namespace brumo
