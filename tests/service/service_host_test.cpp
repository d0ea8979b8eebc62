#include "service/service_host.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/fakes/service_host/fake_service_host.h"

namespace brumo {

// gtest prints failing records field by field (found by argument-dependent lookup).
void PrintTo(const ServiceStatusRecord& r, std::ostream* os) {
  *os << "{type " << r.service_type << ", state " << r.current_state << ", accepted "
      << r.controls_accepted << ", exit " << r.win32_exit_code << ", specific "
      << r.service_specific_exit_code << ", checkpoint " << r.check_point << ", hint "
      << r.wait_hint << "}";
}

namespace {

namespace fake = fake_service_host;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

ServiceStatusRecord Record(std::uint32_t state, std::uint32_t exit_code, std::uint32_t check_point,
                           std::uint32_t wait_hint) {
  return ServiceStatusRecord{0x10, state, 1, exit_code, 0, check_point, wait_hint};
}

const ServiceStatusRecord kStartPending1 = Record(2, 0, 1, 10000);
const ServiceStatusRecord kStartPending2 = Record(2, 0, 2, 10000);
const ServiceStatusRecord kStartPending3 = Record(2, 0, 3, 10000);
const ServiceStatusRecord kStartPending4 = Record(2, 0, 4, 10000);
const ServiceStatusRecord kRunning = Record(4, 0, 0, 0);
const ServiceStatusRecord kStopPendingFromRunning = Record(3, 0, 1, 5000);
const ServiceStatusRecord kStopped = Record(1, 0, 0, 0);
const ServiceStatusRecord kStoppedFailed = Record(1, 1066, 0, 0);

std::vector<std::string> StartUpEvents() {
  return {"register handler",   "report start-pending", "report start-pending",
          "winsock start",      "report start-pending", "guard created",
          "controller created", "pipe created",         "report start-pending",
          "pipe start"};
}

template <typename... Tail>
std::vector<std::string> Concat(std::vector<std::string> head, const Tail&... tail) {
  (head.insert(head.end(), tail.begin(), tail.end()), ...);
  return head;
}

class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override { fake::Reset(); }

  ServiceSlots slots_;
  ServiceHost host_{&slots_};
};

// The full life of the service: the exact sequence of reports and of object and platform
// calls, with the tunnel down or up when the stop comes.
TEST_F(ServiceHostTest, RunsAndStopsInOrder) {
  struct Case {
    bool tunnel_running;
    std::vector<std::string> shutdown;
  };
  const Case cases[] = {
      {false,
       {"pipe stop", "pipe destroyed", "controller destroyed", "winsock cleanup",
        "report stopped"}},
      {true,
       {"controller stop", "pipe stop", "pipe destroyed", "controller destroyed", "winsock cleanup",
        "report stopped"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tunnel_running ? "tunnel running" : "tunnel down");
    fake::Reset();
    ServiceSlots slots;
    ServiceHost host(&slots);
    fake::SetTunnelRunning(c.tunnel_running);
    auto sleeps = std::make_shared<int>(0);
    fake::SetEventHook([&host, sleeps](std::string_view e) {
      if (e == "sleep" && ++*sleeps == 3) host.HandleControl(kServiceControlStop);
    });

    host.ServiceMain();

    EXPECT_THAT(fake::Events(),
                ElementsAreArray(Concat(StartUpEvents(),
                                        std::vector<std::string>{"report running", "sleep", "sleep",
                                                                 "sleep", "report stop-pending"},
                                        c.shutdown)));
    EXPECT_THAT(fake::Reports(),
                ElementsAre(kStartPending1, kStartPending2, kStartPending3, kStartPending4,
                            kRunning, kStopPendingFromRunning, kStopped));
    EXPECT_THAT(fake::Sleeps(),
                ElementsAre(std::chrono::milliseconds(1000), std::chrono::milliseconds(1000),
                            std::chrono::milliseconds(1000)));
    EXPECT_THAT(fake::DebugOutput(), IsEmpty());

    const fake::Objects objects = fake::CreatedObjects();
    EXPECT_EQ(objects.controller_guard_argument, objects.guard);
    EXPECT_EQ(objects.pipe_controller_argument, objects.controller);
    // Only the guard is left, for process exit.
    EXPECT_EQ(slots.guard.get(), objects.guard);
    EXPECT_EQ(slots.controller, nullptr);
    EXPECT_EQ(slots.pipe_server, nullptr);
    fake::SetEventHook(nullptr);
  }
}

TEST_F(ServiceHostTest, InterrogateRepeatsTheRecordAndOtherControlsAreIgnored) {
  auto sleeps = std::make_shared<int>(0);
  fake::SetEventHook([this, sleeps](std::string_view e) {
    if (e != "sleep") return;
    ++*sleeps;
    if (*sleeps == 1) {
      host_.HandleControl(kServiceControlInterrogate);
      for (std::uint32_t ignored : {0u, 2u, 3u, 5u, 0x40u, 0xFFu}) host_.HandleControl(ignored);
    } else if (*sleeps == 2) {
      host_.HandleControl(kServiceControlStop);
    }
  });

  host_.ServiceMain();

  // The interrogate answer is the running record as it stands; the ignored codes neither
  // report nor end the wait.
  EXPECT_THAT(fake::Reports(),
              ElementsAre(kStartPending1, kStartPending2, kStartPending3, kStartPending4, kRunning,
                          kRunning, kStopPendingFromRunning, kStopped));
  EXPECT_EQ(fake::Sleeps().size(), 2u);
}

TEST_F(ServiceHostTest, HandlerRegistrationFailureReportsNothing) {
  fake::SetRegisterResult(false);
  host_.ServiceMain();
  EXPECT_THAT(fake::Events(), ElementsAre("register handler"));
}

TEST_F(ServiceHostTest, WinsockFailureStopsWith1066WithoutCleanup) {
  fake::SetWinsockResult(10091);  // WSASYSNOTREADY
  host_.ServiceMain();
  EXPECT_THAT(fake::Events(),
              ElementsAre("register handler", "report start-pending", "report start-pending",
                          "winsock start", "report stopped"));
  EXPECT_THAT(fake::Reports(), ElementsAre(kStartPending1, kStartPending2, kStoppedFailed));
  EXPECT_EQ(slots_.guard, nullptr);
}

// An exception out of start-up: one debugger-output line, Winsock cleaned up, stopped with
// 1066, never running; what was installed stays in the slots.
TEST_F(ServiceHostTest, StartUpExceptionStopsWith1066) {
  const std::system_error thread_error(
      std::make_error_code(std::errc::resource_unavailable_try_again));
  const std::string thread_line =
      std::string("[BrumoVPN] Exception during startup: ") + thread_error.what() + "\n";
  struct Case {
    const char* name;
    const char* throwing_event;
    bool standard;
    std::string line;
    std::vector<ServiceStatusRecord> reports;
    bool controller_installed;
    bool pipe_installed;
  };
  const Case cases[] = {
      {"pipe thread not created",
       "pipe start",
       true,
       thread_line,
       {kStartPending1, kStartPending2, kStartPending3, kStartPending4, kStoppedFailed},
       true,
       true},
      {"non-standard exception from Start",
       "pipe start",
       false,
       "[BrumoVPN] Unknown exception during startup\n",
       {kStartPending1, kStartPending2, kStartPending3, kStartPending4, kStoppedFailed},
       true,
       true},
      {"controller construction fails",
       "controller created",
       true,
       "[BrumoVPN] Exception during startup: bad controller\n",
       {kStartPending1, kStartPending2, kStartPending3, kStoppedFailed},
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    ServiceSlots slots;
    ServiceHost host(&slots);
    fake::SetEventHook([&](std::string_view e) {
      if (e != c.throwing_event) return;
      if (!c.standard) throw 42;
      if (e == "pipe start") throw thread_error;
      throw std::runtime_error("bad controller");
    });

    host.ServiceMain();

    EXPECT_THAT(fake::DebugOutput(), ElementsAre(c.line));
    EXPECT_THAT(fake::Reports(), ElementsAreArray(c.reports));
    const std::vector<std::string> events = fake::Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(events.end() - 3, events.end()),
                ElementsAre("debug output", "winsock cleanup", "report stopped"));
    EXPECT_THAT(fake::Sleeps(), IsEmpty());
    EXPECT_NE(slots.guard, nullptr);
    EXPECT_EQ(slots.controller != nullptr, c.controller_installed);
    EXPECT_EQ(slots.pipe_server != nullptr, c.pipe_installed);
    fake::SetEventHook(nullptr);
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
      {"winsock start", {kStartPending1, kStartPending2, Record(3, 0, 3, 5000), kStopped}},
      {"guard created",
       {kStartPending1, kStartPending2, kStartPending3, Record(3, 0, 4, 5000), kStopped}},
      {"pipe start",
       {kStartPending1, kStartPending2, kStartPending3, kStartPending4, Record(3, 0, 5, 5000),
        kStopped}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event);
    fake::Reset();
    ServiceSlots slots;
    ServiceHost host(&slots);
    fake::SetEventHook([&host, &c](std::string_view e) {
      if (e == c.event) host.HandleControl(kServiceControlStop);
      // A lost stop would leave the wait running for good; end it as a failure instead.
      if (e == "sleep") throw std::runtime_error("waiting after a stop during start-up");
    });

    host.ServiceMain();

    EXPECT_THAT(fake::Reports(), ElementsAreArray(c.reports));
    EXPECT_THAT(fake::Sleeps(), IsEmpty());
    const std::vector<std::string> events = fake::Events();
    const std::vector<std::string> tail = {"pipe stop", "pipe destroyed", "controller destroyed",
                                           "winsock cleanup", "report stopped"};
    ASSERT_GE(events.size(), tail.size());
    EXPECT_THAT(
        std::vector<std::string>(events.end() - static_cast<long>(tail.size()), events.end()),
        ElementsAreArray(tail));
    // The start-up itself ran to its end: the pipe server was started before it was stopped.
    EXPECT_EQ(std::count(events.begin(), events.end(), "pipe start"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "report running"), 0);
    EXPECT_EQ(slots.controller, nullptr);
    EXPECT_EQ(slots.pipe_server, nullptr);
    fake::SetEventHook(nullptr);
  }
}

// Once stopped has been reported, a late stop must not put stop-pending back.
TEST_F(ServiceHostTest, StopAfterStoppedIsIgnored) {
  for (bool failed_start : {false, true}) {
    SCOPED_TRACE(failed_start ? "after failed start" : "after normal stop");
    fake::Reset();
    ServiceSlots slots;
    ServiceHost host(&slots);
    if (failed_start) {
      fake::SetWinsockResult(10091);
    } else {
      fake::SetEventHook([&host](std::string_view e) {
        if (e == "sleep") host.HandleControl(kServiceControlStop);
      });
    }
    host.ServiceMain();
    fake::SetEventHook(nullptr);
    const std::size_t reports = fake::Reports().size();

    host.HandleControl(kServiceControlStop);

    EXPECT_EQ(fake::Reports().size(), reports);
    EXPECT_EQ(host.status().current_state, kServiceStopped);
  }
}

// Whatever the slots still hold at process exit goes pipe server, controller, guard.
TEST_F(ServiceHostTest, SlotsAreDestroyedInReverseOfCreation) {
  auto slots = std::make_unique<ServiceSlots>();
  ServiceHost host(slots.get());
  fake::SetEventHook([](std::string_view e) {
    if (e == "pipe start") throw std::runtime_error("no thread");
  });
  host.ServiceMain();
  fake::SetEventHook(nullptr);
  ASSERT_NE(slots->pipe_server, nullptr);
  const std::size_t before = fake::Events().size();

  slots.reset();

  const std::vector<std::string> events = fake::Events();
  EXPECT_THAT(std::vector<std::string>(events.begin() + static_cast<long>(before), events.end()),
              ElementsAre("pipe destroyed", "controller destroyed", "guard destroyed"));
}

TEST(WaitWhileRunningTest, TestsTheFlagBeforeEachSleep) {
  fake::Reset();
  std::atomic<bool> running{false};
  WaitWhileRunning(running);
  EXPECT_THAT(fake::Sleeps(), IsEmpty());

  running.store(true);
  auto sleeps = std::make_shared<int>(0);
  fake::SetEventHook([&running, sleeps](std::string_view e) {
    if (e == "sleep" && ++*sleeps == 3) running.store(false);
  });
  WaitWhileRunning(running);
  EXPECT_THAT(fake::Sleeps(),
              ElementsAre(std::chrono::milliseconds(1000), std::chrono::milliseconds(1000),
                          std::chrono::milliseconds(1000)));
  fake::Reset();
}

// A stop from the dispatcher thread at any moment of the service main's life: the stop is
// never lost, and the SCM never sees a state go back (no start-pending or running after
// stop-pending).
TEST(ServiceHostConcurrencyTest, StopFromAnotherThreadAtAnyTime) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    fake::Reset();
    ServiceSlots slots;
    ServiceHost host(&slots);
    std::thread service([&host] { host.ServiceMain(); });
    // Rounds spread the stop over start-up and the wait.
    std::this_thread::sleep_for(std::chrono::microseconds(20 * round));
    host.HandleControl(kServiceControlStop);
    service.join();

    const std::vector<ServiceStatusRecord> reports = fake::Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), kStopped);
    bool stop_pending_seen = false;
    for (const ServiceStatusRecord& r : reports) {
      if (r.current_state == kServiceStopPending) stop_pending_seen = true;
      if (stop_pending_seen) {
        EXPECT_NE(r.current_state, kServiceStartPending);
        EXPECT_NE(r.current_state, kServiceRunning);
      }
    }
    EXPECT_TRUE(stop_pending_seen);
    EXPECT_EQ(slots.pipe_server, nullptr);
    EXPECT_EQ(slots.controller, nullptr);
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
  };
  const Case cases[] = {
      {"service ran", {true, 0}, 0, false},
      {"started from a console", {false, 1063}, 0, true},
      {"access denied", {false, 5}, 5, false},
      {"dispatcher already running", {false, 1056}, 1056, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    fake::SetDispatcherResult(c.dispatcher);
    ServiceSlots slots;
    ServiceHost host(&slots);

    EXPECT_EQ(RunServiceProcess(&host, "C:\\bin\\BrumoVPN.exe"), c.exit_status);

    EXPECT_EQ(fake::DispatchedHost(), &host);
    EXPECT_EQ(fake::ConsoleText(), c.help_printed ? ConsoleHelpText("C:\\bin\\BrumoVPN.exe") : "");
  }
  fake::Reset();
}

}  // namespace
}  // namespace brumo
