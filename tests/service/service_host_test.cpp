// The service host over its real guard, controller and pipe server, on the stand-ins of
// the platform under them: the SCM, Winsock and debugger output (recorded in one event
// log), the named pipe (no client ever connects), tun2proxy, the filter engine, the
// interface lookup, thread creation and the clock. The cases add the calls of the other
// seams that tell the objects' part to the same log, so that the order of the whole life
// can be checked: "pipe MakeEndpoint", "pipe SignalStop", "pipe CloseInstance" (the
// server's endpoint), "tunnel stop" (tun2proxy_stop) and "guard close" (the guard's engine
// closed, its filters gone).
#include "service/service_host.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/platform_thread.h"
#include "common/scope_exit.h"
#include "tests/standins/pipe/pipe_standin.h"
#include "tests/standins/service_platform/service_platform_standin.h"
#include "tests/standins/standins.h"
#include "tests/support/test_support.h"

namespace brumo {

// gtest prints failing records field by field (found by argument-dependent lookup).
void PrintTo(const ServiceStatusRecord& r, std::ostream* os) {
  *os << "{type " << r.service_type << ", state " << r.current_state << ", accepted "
      << r.controls_accepted << ", exit " << r.win32_exit_code << ", specific "
      << r.service_specific_exit_code << ", checkpoint " << r.check_point << ", hint "
      << r.wait_hint << "}";
}

namespace {

namespace service = service_standin;
namespace t2p = tun2proxy_standin;
namespace engine = wfp_standin;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Events = std::vector<std::string>;

using test_support::kLongWait;
using test_support::WaitUntil;

// Start-pending and stopped accept no control; running and stop-pending accept stop.
ServiceStatusRecord Record(std::uint32_t state, std::uint32_t exit_code, std::uint32_t check_point,
                           std::uint32_t wait_hint, std::uint32_t specific_code = 0) {
  ServiceStatusRecord r{0x10, state, 1, exit_code, specific_code, check_point, wait_hint};
  if (state == kServiceStartPending || state == kServiceStopped) r.controls_accepted = 0;
  return r;
}

// The start-up's report with checkpoint `n`.
ServiceStatusRecord StartPending(std::uint32_t n) { return Record(2, 0, n, 10000); }
const ServiceStatusRecord kRunning = Record(4, 0, 0, 0);
const ServiceStatusRecord kStopPendingFromRunning = Record(3, 0, 1, 5000);
const ServiceStatusRecord kStopped = Record(1, 0, 0, 0);
const ServiceStatusRecord kStoppedFailed = Record(1, 1066, 0, 0, 1);

const Events kStartUpEvents = {"register handler", "report start-pending", "report start-pending",
                               "winsock start",    "report start-pending", "report start-pending",
                               "pipe MakeEndpoint"};

template <typename... Tail>
Events Concat(Events head, const Tail&... tail) {
  (head.insert(head.end(), tail.begin(), tail.end()), ...);
  return head;
}

Events Tail(const Events& events, std::size_t count) {
  return Events(events.end() - static_cast<long>(std::min(count, events.size())), events.end());
}

long Count(std::string_view event) {
  const Events events = service::Recorded().events;
  return std::count(events.begin(), events.end(), event);
}

bool Logged(std::string_view event) { return Count(event) > 0; }

// The service main on a thread of its own, as the SCM runs it.
class ServiceThread {
 public:
  explicit ServiceThread(ServiceHost& host)
      : host_(host), main_(std::async(std::launch::async, [&host] { host.ServiceMain(); })) {}
  ~ServiceThread() { static_cast<void>(Finish()); }

  // Waits for the service main to return. A service main that does not return in time
  // gets another stop, so that the test ends; false then.
  bool Finish() {
    if (!main_.valid()) return true;
    const bool returned = main_.wait_for(kLongWait) == std::future_status::ready;
    if (!returned) host_.HandleControl(kServiceControlStop);
    main_.get();
    return returned;
  }
  // The stop control, then Finish.
  bool Stop() {
    host_.HandleControl(kServiceControlStop);
    return Finish();
  }

 private:
  ServiceHost& host_;
  std::future<void> main_;
};

// A host over slots of its own. First: every stand-in reset before the case and again
// after all else has gone.
struct Host {
  standins::Scope stand_ins;
  ServiceSlots slots;
  ServiceHost host{&slots};
};

class ServiceHostTest : public ::testing::Test, protected Host {
 protected:
  // Logs the calls of the other seams that show what the objects do; `also` (optional)
  // gets each pipe event as logged.
  static void LogObjectCalls(std::function<void(std::string_view)> also = nullptr) {
    pipe_standin::SetHook([also](std::string_view call) {
      if (call == "CreateInstance") return;
      service::Log("pipe " + std::string(call));
      if (also) also("pipe " + std::string(call));
    });
    t2p::SetStopHook([] { service::Log("tunnel stop"); });
    engine::SetHook([](engine::Op op, int) {
      if (op == engine::Op::kCloseEngine) service::Log("guard close");
    });
  }
};

// The full life of the service: the exact sequence of reports and of platform calls, with
// the tunnel down or up when the stop comes.
TEST_F(ServiceHostTest, RunsAndStopsInOrder) {
  struct Case {
    bool tunnel_running;
    Events shutdown;
  };
  const Case cases[] = {
      {false, {"pipe SignalStop", "pipe CloseInstance", "winsock cleanup", "report stopped"}},
      // The pipe server goes first, so that no client can start the tunnel once it is
      // stopped; then the tunnel, its filters only once it is down.
      {true,
       {"pipe SignalStop", "pipe CloseInstance", "tunnel stop", "guard close", "winsock cleanup",
        "report stopped"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tunnel_running ? "tunnel running" : "tunnel down");
    Host each;
    LogObjectCalls();
    ServiceThread main(each.host);
    ASSERT_TRUE(WaitUntil([] { return Logged("report running"); }));
    if (c.tunnel_running) {
      // Through the controller the host made: its guard is the one in the slot.
      ASSERT_TRUE(each.slots.controller->Start().ok);
      ASSERT_EQ(engine::Recorded().live_filter_ids.size(), 12u);
    }

    ASSERT_TRUE(main.Stop());

    EXPECT_THAT(service::Recorded().events,
                ElementsAreArray(Concat(
                    kStartUpEvents, Events{"report running", "report stop-pending"}, c.shutdown)));
    EXPECT_THAT(service::Recorded().reports,
                ElementsAre(StartPending(1), StartPending(2), StartPending(3), StartPending(4),
                            kRunning, kStopPendingFromRunning, kStopped));
    EXPECT_THAT(service::Recorded().debug_output, IsEmpty());
    EXPECT_FALSE(each.slots.guard == nullptr);
    EXPECT_EQ(engine::Recorded().live_filter_ids.size(), 0u);
    EXPECT_EQ(engine::Recorded().open_handles, 0);
    EXPECT_EQ(t2p::Recorded().runs_inside, 0);
    // Only the guard is left, for process exit.
    EXPECT_EQ(each.slots.controller, nullptr);
    EXPECT_EQ(each.slots.pipe_server, nullptr);
  }
}

// A shutdown held in tun2proxy_stop for longer than kStopPendingReportInterval: the SCM
// hears stop-pending again every interval, each time with the next checkpoint and the same
// wait hint, until the stopped report. Without the repeats, an SCM whose wait hint ran
// out would take the service for hung.
TEST_F(ServiceHostTest, LongShutdownRepeatsStopPendingWithAdvancingCheckpoints) {
  bool repeated = false;
  t2p::SetStopHook([&] { repeated = WaitUntil([] { return Count("report stop-pending") >= 3; }); });
  ServiceThread main(host);
  ASSERT_TRUE(WaitUntil([] { return Logged("report running"); }));
  ASSERT_TRUE(slots.controller->Start().ok);

  ASSERT_TRUE(main.Stop());

  EXPECT_TRUE(repeated);
  const std::vector<ServiceStatusRecord> reports = service::Recorded().reports;
  ASSERT_GE(reports.size(), 9u);
  // Every report between running and stopped is stop-pending, numbered on from 1.
  std::vector<ServiceStatusRecord> expected{StartPending(1), StartPending(2), StartPending(3),
                                            StartPending(4), kRunning};
  for (std::uint32_t i = 1; expected.size() + 1 < reports.size(); ++i) {
    expected.push_back(Record(3, 0, i, 5000));
  }
  expected.push_back(kStopped);
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(t2p::Recorded().runs_inside, 0);
}

// A tunnel whose run call never returns, whatever the stops: once kShutdownLimit has passed
// on the platform's clock since the shutdown began (and not before), the SCM hears stopped
// with 1066 and the shutdown's own code, and the process ends, the run still inside.
TEST_F(ServiceHostTest, HungShutdownReportsStoppedWithItsCodeAndEndsTheProcess) {
  ServiceThread main(host);
  // Before the service main is waited for, also when a check below fails.
  const ScopeExit end_run([] { t2p::EndRunsByThemselves(); });
  ASSERT_TRUE(WaitUntil([] { return Logged("report running"); }));
  t2p::SetRunMode(t2p::RunMode::kIgnoresStops);
  ASSERT_TRUE(slots.controller->Start().ok);

  host.HandleControl(kServiceControlStop);
  ASSERT_TRUE(WaitUntil([] { return t2p::Recorded().stop_calls >= 1; }));
  // On the virtual clock only this moves time on; the reporter reads it every second.
  SleepFor(kShutdownLimit - std::chrono::milliseconds(1));
  const auto pending = Count("report stop-pending");
  ASSERT_TRUE(WaitUntil([&] { return Count("report stop-pending") >= pending + 2; }));
  EXPECT_FALSE(Logged("end process 1066")) << "ended before its time";
  SleepFor(std::chrono::seconds(1));
  ASSERT_TRUE(WaitUntil([] { return Logged("end process 1066"); }));

  const service::Record ended = service::Recorded();
  EXPECT_THAT(Tail(ended.events, 2), ElementsAre("report stopped", "end process 1066"));
  EXPECT_EQ(ended.reports.back(), Record(1, 1066, 0, 0, kShutdownTimeoutCode));
  EXPECT_EQ(t2p::Recorded().runs_inside, 1);
}

// An exception that none of the start-up and shutdown guards takes, out of the service
// main or the control handler: the process ends with its own code. On Windows it would
// otherwise unwind into the SCM's frames.
TEST_F(ServiceHostTest, ExceptionOutOfAnEntryPointEndsTheProcess) {
  // The report that throws, and the control sent once running to reach it (0: none).
  const std::pair<std::string, std::uint32_t> cases[] = {
      {"report start-pending", 0},
      {"report stop-pending", kServiceControlStop},
      {"report running", kServiceControlInterrogate},
  };
  for (const auto& [throwing, control] : cases) {
    SCOPED_TRACE(throwing);
    Host each;
    const auto throw_at = [event = throwing](std::string_view e) {
      if (e == event) throw std::system_error(std::make_error_code(std::errc::io_error));
    };
    if (control == 0) {
      service::SetEventHook(throw_at);
      each.host.ServiceMain();
      EXPECT_THAT(service::Recorded().events,
                  ElementsAre("register handler", throwing, "end process 574"));
      continue;
    }
    ServiceThread main(each.host);
    ASSERT_TRUE(WaitUntil([] { return Logged("report running"); }));
    service::SetEventHook(throw_at);
    each.host.HandleControl(control);
    EXPECT_THAT(Tail(service::Recorded().events, 2), ElementsAre(throwing, "end process 574"));
    // The stand-in's end returns: a stop that reports lets the service main finish.
    service::SetEventHook(nullptr);
    ASSERT_TRUE(main.Stop());
  }
}

// Whatever is thrown while the service shuts down, the SCM still hears stopped; what the
// slots still hold goes at process exit.
TEST_F(ServiceHostTest, ExceptionDuringShutdownStillEndsInStopped) {
  struct Case {
    const char* name;
    std::function<void()> raise;
  };
  const Case cases[] = {
      {"standard exception", [] { throw std::runtime_error("stop failed"); }},
      {"not a std::exception", [] { throw 42; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host each;
    ServiceThread main(each.host);
    ASSERT_TRUE(WaitUntil([] { return Logged("report running"); }));
    ASSERT_TRUE(each.slots.controller->Start().ok);
    t2p::SetStopHook(c.raise);

    ASSERT_TRUE(main.Stop());

    EXPECT_THAT(Tail(service::Recorded().events, 3),
                ElementsAre("report stop-pending", "winsock cleanup", "report stopped"));
    EXPECT_EQ(service::Recorded().reports.back(), kStopped);
    EXPECT_EQ(each.host.status().current_state, kServiceStopped);
    // The objects' own destruction, at process exit, still stops what is left.
    t2p::SetStopHook(nullptr);
    each.slots.pipe_server.reset();
    each.slots.controller.reset();
    each.slots.guard.reset();
    EXPECT_EQ(t2p::Recorded().runs_inside, 0);
    EXPECT_EQ(engine::Recorded().live_filter_ids.size(), 0u);
  }
}

// The service main waits on the controls themselves: no pause of any length, so the stop is
// acted on at once.
TEST_F(ServiceHostTest, InterrogateRepeatsTheRecordOtherControlsAreIgnoredStopEndsTheWait) {
  ServiceThread main(host);
  ASSERT_TRUE(WaitUntil([] { return Logged("report running"); }));
  host.HandleControl(kServiceControlInterrogate);
  for (std::uint32_t ignored : {0u, 2u, 3u, 5u, 0x40u, 0xFFu}) host.HandleControl(ignored);
  EXPECT_EQ(host.status().current_state, kServiceRunning);
  ASSERT_TRUE(main.Stop());

  // The interrogate answer is the running record as it stands; the ignored codes neither
  // report nor end the wait.
  EXPECT_THAT(service::Recorded().reports,
              ElementsAre(StartPending(1), StartPending(2), StartPending(3), StartPending(4),
                          kRunning, kRunning, kStopPendingFromRunning, kStopped));
  EXPECT_THAT(platform_standin::Sleeps(), IsEmpty());
}

// Nothing can be reported without a status handle, and the dispatcher would wait for the
// stopped report for ever: the process ends with the registration's error.
TEST_F(ServiceHostTest, HandlerRegistrationFailureEndsTheProcess) {
  service::SetRegisterError(1063);
  host.ServiceMain();
  EXPECT_THAT(service::Recorded().events, ElementsAre("register handler", "end process 1063"));
}

TEST_F(ServiceHostTest, WinsockFailureStopsWith1066AndItsErrorWithoutCleanup) {
  service::SetWinsockResult(10091);  // WSASYSNOTREADY
  host.ServiceMain();
  EXPECT_THAT(service::Recorded().events,
              ElementsAre("register handler", "report start-pending", "report start-pending",
                          "winsock start", "report stopped"));
  EXPECT_THAT(service::Recorded().reports,
              ElementsAre(StartPending(1), StartPending(2), Record(1, 1066, 0, 0, 10091)));
  EXPECT_EQ(slots.guard, nullptr);
}

// An exception out of start-up: one debugger-output line, Winsock cleaned up, stopped with
// 1066 and specific code 1, never running; what was installed stays in the slots.
TEST_F(ServiceHostTest, StartUpExceptionStopsWith1066) {
  const std::system_error thread_error(
      std::make_error_code(std::errc::resource_unavailable_try_again));
  const std::string thread_line =
      std::string("[BrumoVPN] Exception during startup: ") + thread_error.what() + "\n";
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string line;
    std::vector<ServiceStatusRecord> reports;
    bool objects_installed;
  };
  const Case cases[] = {
      {"pipe thread not created",
       [] { platform_standin::FailNextLaunch(); },
       thread_line,
       {StartPending(1), StartPending(2), StartPending(3), StartPending(4), kStoppedFailed},
       true},
      {"non-standard exception from the pipe server's start",
       [] {
         pipe_standin::SetHook([](std::string_view call) {
           if (call == "MakeEndpoint") throw 42;
         });
       },
       "[BrumoVPN] Unknown exception during startup\n",
       {StartPending(1), StartPending(2), StartPending(3), StartPending(4), kStoppedFailed},
       true},
      {"exception before the objects are made",
       [] {
         // A counter shared by the copies of the hook that the stand-in runs.
         service::SetEventHook([count = std::make_shared<int>(0)](std::string_view e) {
           if (e == "report start-pending" && ++*count == 3) {
             throw std::runtime_error("report failed");
           }
         });
       },
       "[BrumoVPN] Exception during startup: report failed\n",
       {StartPending(1), StartPending(2), StartPending(3), kStoppedFailed},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host each;
    c.arrange();
    each.host.ServiceMain();

    EXPECT_THAT(service::Recorded().debug_output, ElementsAre(c.line));
    EXPECT_THAT(service::Recorded().reports, ElementsAreArray(c.reports));
    EXPECT_THAT(Tail(service::Recorded().events, 3),
                ElementsAre("debug output", "winsock cleanup", "report stopped"));
    EXPECT_THAT(platform_standin::Sleeps(), IsEmpty());
    EXPECT_EQ(each.slots.guard != nullptr, c.objects_installed);
    EXPECT_EQ(each.slots.controller != nullptr, c.objects_installed);
    EXPECT_EQ(each.slots.pipe_server != nullptr, c.objects_installed);
  }
}

// A stop before the running report ends the start-up: stop-pending right away, no more
// start-pending, never running, then the normal shutdown and stopped with exit code 0.
TEST_F(ServiceHostTest, StopDuringStartUpEndsIt) {
  struct Case {
    const char* event;
    std::vector<ServiceStatusRecord> reports;
  };
  const Case cases[] = {
      {"winsock start", {StartPending(1), StartPending(2), Record(3, 0, 3, 5000), kStopped}},
      {"pipe MakeEndpoint",
       {StartPending(1), StartPending(2), StartPending(3), StartPending(4), Record(3, 0, 5, 5000),
        kStopped}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event);
    Host each;
    const auto stop_at = [&each, &c](std::string_view e) {
      if (e == c.event) each.host.HandleControl(kServiceControlStop);
    };
    service::SetEventHook(stop_at);
    LogObjectCalls(stop_at);

    // A lost stop would leave the service main waiting: Finish then fails.
    ServiceThread main(each.host);
    ASSERT_TRUE(main.Finish());

    EXPECT_THAT(service::Recorded().reports, ElementsAreArray(c.reports));
    const Events events = service::Recorded().events;
    EXPECT_THAT(Tail(events, 4), ElementsAre("pipe SignalStop", "pipe CloseInstance",
                                             "winsock cleanup", "report stopped"));
    // The start-up itself ran to its end: the pipe server was started before it was stopped.
    EXPECT_EQ(Count("pipe MakeEndpoint"), 1);
    EXPECT_EQ(Count("report running"), 0);
    EXPECT_EQ(each.slots.controller, nullptr);
    EXPECT_EQ(each.slots.pipe_server, nullptr);
  }
}

// Once stopped has been reported, a late stop must not put stop-pending back, and an
// interrogate reports nothing.
TEST_F(ServiceHostTest, ControlsAfterStoppedAreIgnored) {
  for (const auto& [failed_start, control] :
       {std::pair{false, kServiceControlStop}, std::pair{true, kServiceControlStop},
        std::pair{false, kServiceControlInterrogate}}) {
    SCOPED_TRACE(::testing::Message() << (failed_start ? "after failed start" : "after normal stop")
                                      << ", control " << control);
    Host each;
    if (failed_start) {
      service::SetWinsockResult(10091);
      each.host.ServiceMain();
    } else {
      ServiceThread main(each.host);
      ASSERT_TRUE(WaitUntil([] { return Logged("report running"); }));
      ASSERT_TRUE(main.Stop());
    }
    const std::size_t reports = service::Recorded().reports.size();

    each.host.HandleControl(control);

    EXPECT_EQ(service::Recorded().reports.size(), reports);
    EXPECT_EQ(each.host.status().current_state, kServiceStopped);
  }
}

// Whatever the slots still hold at process exit goes pipe server, controller, guard: the
// controller stops its tunnel and has the guard remove the filters while the guard still
// exists. (In the other order the guard would remove them first and the controller then
// reach a destroyed guard.)
TEST_F(ServiceHostTest, SlotsAreDestroyedInReverseOfCreation) {
  auto slots = std::make_unique<ServiceSlots>();
  ServiceHost host(slots.get());
  platform_standin::FailNextLaunch();  // the pipe server's thread: start-up fails
  host.ServiceMain();
  ASSERT_NE(slots->pipe_server, nullptr);
  ASSERT_TRUE(slots->controller->Start().ok);
  LogObjectCalls();
  const std::size_t before = service::Recorded().events.size();

  slots.reset();

  const Events events = service::Recorded().events;
  EXPECT_THAT(Events(events.begin() + static_cast<long>(before), events.end()),
              ElementsAre("tunnel stop", "guard close"));
  EXPECT_EQ(t2p::Recorded().runs_inside, 0);
  EXPECT_EQ(engine::Recorded().live_filter_ids.size(), 0u);
}

// A stop from the dispatcher thread at any moment of the service main's life: the stop is
// never lost, and the SCM never sees a state go back (no start-pending or running after
// stop-pending).
TEST_F(ServiceHostTest, StopFromAnotherThreadAtAnyTime) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    Host each;
    ServiceThread main(each.host);
    // Rounds spread the stop over start-up and the wait.
    std::this_thread::sleep_for(std::chrono::microseconds(20 * round));
    ASSERT_TRUE(main.Stop());

    const std::vector<ServiceStatusRecord> reports = service::Recorded().reports;
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), kStopped);
    const auto stop_pending = std::find_if(reports.begin(), reports.end(), [](const auto& r) {
      return r.current_state == kServiceStopPending;
    });
    EXPECT_NE(stop_pending, reports.end());
    EXPECT_TRUE(std::all_of(stop_pending, reports.end(), [](const ServiceStatusRecord& r) {
      return r.current_state == kServiceStopPending || r.current_state == kServiceStopped;
    })) << ::testing::PrintToString(reports);
    EXPECT_EQ(each.slots.pipe_server, nullptr);
    EXPECT_EQ(each.slots.controller, nullptr);
  }
}

TEST(ConsoleHelpTextTest, IsTheEightLinesWithTheProgramPath) {
  EXPECT_EQ(
      ConsoleHelpText("C:\\Program Files\\BrumoVPN\\BrumoVPN.exe"),
      "BrumoVPN Service\n"
      "================\n"
      "This executable is designed to run as a Windows Service.\n"
      "\n"
      "To install: sc create BrumoVPN binPath= \"C:\\Program Files\\BrumoVPN\\BrumoVPN.exe\"\n"
      "To start:   sc start BrumoVPN\n"
      "To stop:    sc stop BrumoVPN\n"
      "To delete:  sc delete BrumoVPN\n"
      "\n"
      "Library functions linked successfully.\n");
  // The path goes in as given, even when it holds a format character.
  EXPECT_NE(ConsoleHelpText("C:\\{}%s\\x.exe").find("binPath= \"C:\\{}%s\\x.exe\"\n"),
            std::string::npos);
}

TEST(RunServiceProcessTest, ExitStatusAndConsoleText) {
  struct Case {
    const char* name;
    DispatcherResult dispatcher;
    int exit_status;
    bool help_printed;
    bool console_throws = false;
  };
  const Case cases[] = {
      {"service ran", {true, 0}, 0, false},
      {"started from a console", {false, 1063}, 0, true},
      {"access denied", {false, 5}, 5, false},
      {"dispatcher already running", {false, 1056}, 1056, false},
      // Nothing escapes main: the exit status says what happened.
      {"exception while printing", {false, 1063}, 574, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host each;
    service::SetDispatcherResult(c.dispatcher);
    if (c.console_throws) {
      service::SetEventHook([](std::string_view e) {
        if (e == "console text") throw std::bad_alloc();
      });
    }

    EXPECT_EQ(RunServiceProcess(&each.host, "C:\\bin\\BrumoVPN.exe"), c.exit_status);

    EXPECT_EQ(service::Recorded().dispatched_host, &each.host);
    EXPECT_EQ(service::Recorded().console_text,
              c.help_printed ? ConsoleHelpText("C:\\bin\\BrumoVPN.exe") : "");
  }
}

}  // namespace
}  // namespace brumo
