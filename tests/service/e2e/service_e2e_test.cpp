// BrumoVPN.exe end to end: installed as the "BrumoVPN" service of the Wine prefix, started
// and stopped through the SCM, and driven over its control pipe and with brumoctl.exe. The
// stand-in tun2proxy.dll and fwpuclnt.dll beside the service record what it does with
// them. run_e2e.sh starts this program and creates or deletes the TUN device on request.
//
// Beside this program:
//   brumoctl.exe
//   "with standins\"  BrumoVPN.exe, tun2proxy.dll and fwpuclnt.dll (both stand-ins)
//   "wine fwpuclnt\"  BrumoVPN.exe and the stand-in tun2proxy.dll: Wine's own fwpuclnt
//   "run ignores stops\"  as "with standins\", the tun2proxy run set to ignore every stop
//
// The cases share the one service entry and run in the order written; each one first
// brings the service to the state it needs. Those that need brumotun absent come first:
// once Wine has seen the device it resolves it for the rest of its session.
#include <winsock2.h>
// After winsock2.h, so that windows.h does not bring in winsock.h.
#include <fwpmu.h>
#include <windows.h>
#include <winsvc.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/utf8_win.h"
#include "dnsguard/dns_filters.h"
#include "tests/dnsguard/fwp_log_checks.h"
#include "tests/service/e2e/e2e_support.h"
#include "tests/support/pipe_client.h"
#include "tests/support/process_runner.h"
#include "tests/support/service_entry.h"
#include "tests/support/standin_log.h"
#include "tests/support/test_support.h"

namespace brumo::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace test_support;

// One request over the control pipe; the reply's bytes.
std::string Send(std::string_view request) { return RoundTrip(request, 20s).reply.bytes; }

// The stand-in tun2proxy.dll's log lines of one start and one stop.
constexpr char kClearCallbackLine[] = "set_log_callback callback=null ctx=null";
constexpr char kRunLine[] =
    "run proxy_url=socks5://127.0.0.1:12735 tun=brumotun bypass=10.255.255.255/32 "
    "dns_strategy=2 root_privilege=0 verbosity=0";
constexpr char kStopLine[] = "stop";

// Bounds for correctness only: the service reports within milliseconds here.
constexpr DWORD kStateTimeoutMs = 15000;

using Lines = std::vector<std::string>;

// The copies of the product and the service entry. As the test environment it installs the
// entry before the first case (removing one that an aborted earlier run left behind) and
// removes it after the last, whatever the cases did.
class Harness : public ::testing::Environment {
 public:
  std::wstring own = OwnDirectory();
  std::wstring standins_dir = own + L"with standins\\";
  std::wstring wine_fwp_dir = own + L"wine fwpuclnt\\";
  std::wstring standins_exe = standins_dir + L"BrumoVPN.exe";
  std::wstring wine_fwp_exe = wine_fwp_dir + L"BrumoVPN.exe";
  std::wstring hung_exe = own + L"run ignores stops\\BrumoVPN.exe";
  std::wstring brumoctl = own + L"brumoctl.exe";
  ServiceEntry service;
  TunDevice device;

  void SetUp() override {
    for (const std::wstring& file :
         {standins_exe, standins_dir + L"tun2proxy.dll", standins_dir + L"fwpuclnt.dll",
          wine_fwp_exe, wine_fwp_dir + L"tun2proxy.dll", hung_exe,
          own + L"run ignores stops\\tun2proxy.mode", brumoctl}) {
      ASSERT_NE(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES)
          << Narrow(file) << " is missing";
    }
    ASSERT_EQ(GetFileAttributesW((wine_fwp_dir + L"fwpuclnt.dll").c_str()), INVALID_FILE_ATTRIBUTES)
        << "a stand-in fwpuclnt.dll must not sit beside the copy that meets Wine's own";
    ASSERT_TRUE(StandinLogs(standins_dir).EnableTun2proxyLog());
    ASSERT_TRUE(StandinLogs(wine_fwp_dir).EnableTun2proxyLog());

    ASSERT_EQ(service.Connect(), 0u);
    ASSERT_EQ(service.RemoveExisting(), 0u) << "removing a BrumoVPN service left behind";
    ASSERT_EQ(service.Install(standins_exe), 0u);
    if (!device.controllable()) {
      std::printf("note: %s; cases that need to change it are skipped\n", device.why_not().c_str());
    }
  }

  void TearDown() override {
    if (service.installed()) {
      EXPECT_EQ(service.RemoveExisting(), 0u);
    }
  }
};

Harness* const kHarness = static_cast<Harness*>(::testing::AddGlobalTestEnvironment(new Harness));

Harness& TheHarness() { return *kHarness; }

// Waits for the service to reach `state`; `last` (optional) gets the last reading.
void AwaitState(DWORD state, StatusSample* last = nullptr, DWORD timeout_ms = kStateTimeoutMs) {
  StatusSample own;
  StatusSample* sample = last != nullptr ? last : &own;
  ASSERT_TRUE(TheHarness().service.WaitForState(state, timeout_ms, sample)) << Describe(*sample);
}

// The service stopped and its entry pointed at `exe`.
void StopServiceAt(const std::wstring& exe) {
  ServiceEntry& service = TheHarness().service;
  StatusSample sample;
  ASSERT_EQ(service.Query(&sample), 0u);
  if (sample.state != SERVICE_STOPPED) {
    if (sample.state != SERVICE_STOP_PENDING) {
      ASSERT_EQ(service.Stop(), 0u);
    }
    ASSERT_NO_FATAL_FAILURE(AwaitState(SERVICE_STOPPED));
  }
  if (service.binary() != exe) {
    ASSERT_EQ(service.Reconfigure(exe), 0u);
  }
}

// The stop control, answered with the first stop-pending report.
void SendStopControl() {
  StatusSample pending;
  ASSERT_EQ(TheHarness().service.Stop(&pending), 0u);
  EXPECT_EQ(std::tuple(pending.state, pending.check_point, pending.wait_hint),
            std::tuple(DWORD{SERVICE_STOP_PENDING}, DWORD{1}, DWORD{5000}))
      << Describe(pending);
}

// Reads the service's status once and adds it to `seen` when it is a new report. State 0
// when the query fails.
StatusSample ReadReport(std::vector<StatusSample>* seen) {
  StatusSample sample;
  if (TheHarness().service.Query(&sample) != 0) return StatusSample{};
  if (seen->empty() || !sample.SameReport(seen->back())) seen->push_back(sample);
  return sample;
}

std::string Trace(const std::vector<StatusSample>& seen) {
  std::string trace;
  for (const StatusSample& sample : seen) trace += Describe(sample) + "\n";
  return trace;
}

// Stopped with exit code 0: no checkpoint, no wait hint, no control accepted.
void ExpectStopsCleanly() {
  StatusSample stopped;
  ASSERT_NO_FATAL_FAILURE(AwaitState(SERVICE_STOPPED, &stopped));
  EXPECT_TRUE(stopped.SameReport(StatusSample{SERVICE_STOPPED})) << Describe(stopped);
}

// Neither library was called since the last Mark.
void ExpectNoLibraryCalls(const StandinLogs& logs) {
  EXPECT_EQ(logs.Tun2proxyLines(), Lines{});
  EXPECT_EQ(Functions(logs.FwpCalls()), "");
}

// No pipe is left once the service has stopped.
void ExpectPipeGone() {
  DWORD gone = 0;
  EXPECT_FALSE(OpenWithin(0ms, &gone));
  EXPECT_EQ(gone, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the pipe went with the service";
}

// The service started again from its stopped state, answering as a fresh one.
void ExpectStartsAgain() {
  ASSERT_EQ(TheHarness().service.Start(), 0u);
  ASSERT_NO_FATAL_FAILURE(AwaitState(SERVICE_RUNNING));
  EXPECT_EQ(Send(kActiveRequest), kInactiveReply);
}

// The service running from `exe`, with the tunnel down. The entry is pointed at `exe`
// first if it points elsewhere.
void RunServiceFrom(const std::wstring& exe) {
  ServiceEntry& service = TheHarness().service;
  StatusSample sample;
  ASSERT_EQ(service.Query(&sample), 0u);
  if (service.binary() != exe || sample.state == SERVICE_STOP_PENDING) {
    ASSERT_NO_FATAL_FAILURE(StopServiceAt(exe));
    sample.state = SERVICE_STOPPED;
  }
  if (sample.state != SERVICE_RUNNING && sample.state != SERVICE_START_PENDING) {
    ASSERT_EQ(service.Start(), 0u);
  }
  ASSERT_NO_FATAL_FAILURE(AwaitState(SERVICE_RUNNING));
  // A case that failed half-way may have left the tunnel up.
  ASSERT_EQ(Send(kStopRequest), kStoppedReply);
}

// Brings the TUN device to the wanted presence: fails when a change that should have worked
// did not, skips when it cannot be changed here.
void ArrangeDevice(bool present) {
  TunDevice& device = TheHarness().device;
  if ((TunDevice::WineIndex() != 0) == present) return;
  if (!device.controllable()) {
    GTEST_SKIP() << "skipped: needs the TUN device brumotun " << (present ? "present" : "absent")
                 << " (" << device.why_not() << ")";
  }
  ASSERT_EQ(present ? device.Create() : device.Delete(), "");
  if (!present && !WaitUntil([] { return TunDevice::WineIndex() == 0; }, 1s)) {
    GTEST_SKIP() << "skipped: brumotun was deleted, but Wine keeps an interface it has seen for "
                    "the rest of its session (the cases that need it absent come first)";
  }
}

#define BRUMO_REQUIRE_DEVICE(present)                \
  do {                                               \
    ASSERT_NO_FATAL_FAILURE(ArrangeDevice(present)); \
    if (IsSkipped()) return;                         \
  } while (false)

// Every case works on the one harness; most read the logs of the stand-ins' copy.
class E2eTest : public ::testing::Test {
 protected:
  Harness& h = TheHarness();
  StandinLogs logs{h.standins_dir};
};
using ServiceStart = E2eTest;
using ControlPipe = E2eTest;
using TunnelWithoutDevice = E2eTest;
using Tunnel = E2eTest;
using ServiceStop = E2eTest;

ProcessResult RunBrumoctl(const std::wstring& arguments) {
  const std::wstring& exe = TheHarness().brumoctl;
  return RunProcess(QuotedPath(exe) + L" " + arguments, exe, 30000);
}

// From a stopped service: what the SCM sees while it starts, read as fast as it answers.
TEST_F(ServiceStart, ReportsRisingCheckpointsThenRunning) {
  ASSERT_NO_FATAL_FAILURE(StopServiceAt(h.standins_exe));

  std::vector<StatusSample> seen;
  std::future<DWORD> start = std::async(std::launch::async, [&] { return h.service.Start(); });
  // Without pauses between readings; a start that never runs fails below once 20 s are over.
  const Clock::time_point until = Clock::now() + 20s;
  while (Clock::now() < until && ReadReport(&seen).state != SERVICE_RUNNING) {
  }
  ASSERT_EQ(start.get(), 0u);

  SCOPED_TRACE("status readings:\n" + Trace(seen));

  std::size_t i = 0;
  while (i < seen.size() && seen[i].state == SERVICE_STOPPED) ++i;
  // The SCM may show start-pending with checkpoint 0 of its own before the service's first
  // report; every report of the service carries its checkpoint 1 to 4.
  if (i < seen.size() && seen[i].state == SERVICE_START_PENDING && seen[i].check_point == 0) ++i;
  DWORD previous_check_point = 0;
  for (; i < seen.size() && seen[i].state == SERVICE_START_PENDING; ++i) {
    const StatusSample& pending = seen[i];
    EXPECT_GT(pending.check_point, previous_check_point) << "checkpoints must rise";
    EXPECT_LE(pending.check_point, 4u);
    // No control can be honoured during start-up.
    EXPECT_EQ(std::tuple(pending.wait_hint, pending.controls_accepted, pending.win32_exit_code),
              std::tuple(DWORD{10000}, DWORD{0}, DWORD{0}));
    previous_check_point = pending.check_point;
  }
  ASSERT_EQ(i + 1, seen.size()) << "after start-pending comes running, and nothing else";
  // Running: no checkpoint, no wait hint, exit code 0, the stop accepted.
  const StatusSample running_report{SERVICE_RUNNING, 0, 0, SERVICE_ACCEPT_STOP};
  const StatusSample& running = seen.back();
  EXPECT_TRUE(running.SameReport(running_report)) << Describe(running);
  EXPECT_NE(running.process_id, 0u);

  StatusSample interrogated;
  ASSERT_EQ(h.service.Control(SERVICE_CONTROL_INTERROGATE, &interrogated), 0u);
  EXPECT_TRUE(interrogated.SameReport(running_report)) << Describe(interrogated);
}

TEST_F(ControlPipe, ActiveWhileDownIsInactiveOverThePipeAndThroughBrumoctl) {
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.standins_exe));

  const Exchange exchange = RoundTrip(kActiveRequest, 20s);
  EXPECT_TRUE(exchange.Complete()) << exchange.open_error << " " << exchange.reply.end_error;
  EXPECT_EQ(exchange.reply.bytes, kInactiveReply);

  // brumoctl first checks that the pipe's server is the service's process.
  const ProcessResult ctl = RunBrumoctl(L"active");
  ASSERT_FALSE(ctl.timed_out);
  EXPECT_EQ(ctl.exit_code, 0u) << ctl.err;
  EXPECT_EQ(WithoutLineEnd(ctl.out), kInactiveReply);
  EXPECT_EQ(ctl.err, "");
}

// Without the device the start gives up after its wait, stops the worker it launched and
// leaves the service serving.
TEST_F(TunnelWithoutDevice, StartFailsAfterItsWait) {
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.standins_exe));
  BRUMO_REQUIRE_DEVICE(false);
  logs.Mark();

  const Clock::time_point sent = Clock::now();
  const Exchange start = RoundTrip(kStartRequest, 20s);
  const auto took = Clock::now() - sent;
  EXPECT_TRUE(start.Complete());
  EXPECT_TRUE(std::regex_match(
      start.reply.bytes,
      std::regex(
          R"re(\{"message":"Failed to resolve tunnel interface 'brumotun': )re"
          R"re(ConvertInterfaceAliasToLuid failed: \d+ \(waited \d+ms\)","status":"error"\})re")))
      << start.reply.bytes;
  EXPECT_GE(took, 3500ms) << "the lookup is retried for 4 s before the start gives up";
  EXPECT_EQ(logs.Tun2proxyLines(), (Lines{kClearCallbackLine, kRunLine, kStopLine}));
  EXPECT_EQ(Functions(logs.FwpCalls()), "") << "no engine without an interface";
  EXPECT_EQ(Send(kActiveRequest), kInactiveReply);
}

// A stop control while a "start" waits for the missing device: the shutdown lasts until
// that command has finished (about four seconds), and all the while the SCM is told again
// every second that the stop is under way, each time with the next checkpoint. The client
// still gets the start's reply.
TEST_F(TunnelWithoutDevice, ServiceStopDuringTheStartsWaitRepeatsStopPendingWithRisingCheckpoints) {
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.standins_exe));
  BRUMO_REQUIRE_DEVICE(false);
  logs.Mark();

  Exchange start;
  std::thread client([&start] { start = RoundTrip(kStartRequest, 20s); });
  static_cast<void>(WaitUntil([&] { return logs.Tun2proxyLines().size() >= 2; }));
  ASSERT_EQ(logs.Tun2proxyLines(), (Lines{kClearCallbackLine, kRunLine}))
      << "the start never reached tun2proxy";

  ASSERT_EQ(h.service.Stop(), 0u);
  std::vector<StatusSample> seen;
  static_cast<void>(WaitUntil([&] { return ReadReport(&seen).state == SERVICE_STOPPED; }, 20s));
  client.join();
  SCOPED_TRACE("status readings:\n" + Trace(seen));

  ASSERT_FALSE(seen.empty());
  ASSERT_EQ(seen.back().state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(seen.back().win32_exit_code, 0u);
  std::vector<DWORD> check_points;
  for (const StatusSample& sample : seen) {
    if (sample.state != SERVICE_STOP_PENDING) continue;
    EXPECT_EQ(sample.wait_hint, 5000u);
    check_points.push_back(sample.check_point);
  }
  EXPECT_GE(check_points.size(), 3u) << "a shutdown of seconds reports stop-pending each second";
  EXPECT_EQ(std::adjacent_find(check_points.begin(), check_points.end(), std::greater_equal{}),
            check_points.end())
      << "checkpoints must rise";

  EXPECT_TRUE(start.Complete()) << start.open_error << " " << start.reply.end_error;
  EXPECT_NE(start.reply.bytes.find(R"("status":"error")"), std::string::npos) << start.reply.bytes;
  ExpectPipeGone();
}

// tun2proxy creates its adapter some time after the run call; the start waits for it.
TEST_F(TunnelWithoutDevice, CreatedAboutASecondAfterStartIsWaitedFor) {
  if (!h.device.controllable()) GTEST_SKIP() << "skipped: " << h.device.why_not();
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.standins_exe));
  BRUMO_REQUIRE_DEVICE(false);
  logs.Mark();

  Exchange start;
  Clock::time_point answered{};
  std::thread client([&] {
    start = RoundTrip(kStartRequest, 20s);
    answered = Clock::now();
  });
  std::this_thread::sleep_for(1s);
  const Clock::time_point create_asked = Clock::now();
  const std::string created = h.device.Create();
  client.join();

  ASSERT_EQ(created, "");
  EXPECT_TRUE(start.Complete());
  EXPECT_EQ(start.reply.bytes, kStartedReply);
  EXPECT_GE(answered, create_asked) << "answered before the device existed";
  const std::uint32_t index = TunDevice::WineIndex();
  ASSERT_NE(index, 0u);
  EXPECT_EQ(logs.Tun2proxyLines(), (Lines{kClearCallbackLine, kRunLine}));
  std::vector<std::uint64_t> filter_ids;
  ASSERT_NO_FATAL_FAILURE(ExpectEnableLines(logs.FwpCalls(), index, &filter_ids));
  EXPECT_EQ(Send(kStopRequest), kStoppedReply);
}

// The whole road of a tunnel: start, its state, a refused second start, stop, stop again.
TEST_F(Tunnel, StartActiveStopAgainstTheStandins) {
  BRUMO_REQUIRE_DEVICE(true);
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.standins_exe));
  const std::uint32_t index = TunDevice::WineIndex();
  ASSERT_NE(index, 0u);

  logs.Mark();
  EXPECT_EQ(Send(kStartRequest), kStartedReply);
  EXPECT_EQ(logs.Tun2proxyLines(), (Lines{kClearCallbackLine, kRunLine}));
  const std::vector<FwpCall> enable = logs.FwpCalls();
  std::vector<std::uint64_t> filter_ids;
  ASSERT_NO_FATAL_FAILURE(ExpectEnableLines(enable, index, &filter_ids));
  EXPECT_EQ(Send(kActiveRequest), kActiveReply);

  // A second start changes nothing, over the pipe or through brumoctl (exit status 1).
  logs.Mark();
  EXPECT_EQ(Send(kStartRequest), kAlreadyRunningReply);
  const ProcessResult ctl = RunBrumoctl(L"start");
  EXPECT_EQ(ctl.exit_code, 1u) << ctl.err;
  EXPECT_EQ(WithoutLineEnd(ctl.out), kAlreadyRunningReply);
  ExpectNoLibraryCalls(logs);
  EXPECT_EQ(Send(kActiveRequest), kActiveReply);

  logs.Mark();
  EXPECT_EQ(Send(kStopRequest), kStoppedReply);
  EXPECT_EQ(logs.Tun2proxyLines(), Lines{kStopLine});
  ExpectDisableLines(logs.FwpCalls(), filter_ids, enable[0]["handle"]);

  // Nothing left to stop: ok, and neither library is called.
  logs.Mark();
  EXPECT_EQ(Send(kStopRequest), kStoppedReply);
  ExpectNoLibraryCalls(logs);
  EXPECT_EQ(Send(kActiveRequest), kInactiveReply);
}

// Wine's fwpuclnt cannot open an engine: the start reports its status, takes the tunnel
// down again, and the service answers the next requests as before.
TEST_F(Tunnel, WinesOwnFilterEngineFailsTheStartAndTheServiceKeepsServing) {
  FWPM_SESSION0 probe{};
  probe.flags = kFwpmSessionFlagDynamic;
  HANDLE engine = nullptr;
  const DWORD status = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &probe, &engine);
  if (status == 0) {
    FwpmEngineClose0(engine);
    GTEST_SKIP() << "this fwpuclnt opens an engine; the case is about Wine's, which cannot";
  }
  BRUMO_REQUIRE_DEVICE(true);
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.wine_fwp_exe));
  logs = StandinLogs(h.wine_fwp_dir);
  const std::string refused =
      fmt::format(R"({{"message":"FwpmEngineOpen0 failed: {}","status":"error"}})", status);

  for (const char* attempt : {"first start", "second start"}) {
    SCOPED_TRACE(attempt);
    logs.Mark();
    EXPECT_EQ(Send(kStartRequest), refused);
    EXPECT_EQ(logs.Tun2proxyLines(), (Lines{kClearCallbackLine, kRunLine, kStopLine}));
    EXPECT_EQ(Send(kActiveRequest), kInactiveReply);
  }
  EXPECT_EQ(Send(kStopRequest), kStoppedReply);
}

// A stop with the tunnel down: stop-pending, then stopped with exit code 0 within about a
// second, neither library called; started again, it serves as before.
TEST_F(ServiceStop, WhileTheTunnelIsDownReportsStoppedAndStartsAgain) {
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.standins_exe));
  logs.Mark();

  const Clock::time_point stop_sent = Clock::now();
  ASSERT_NO_FATAL_FAILURE(SendStopControl());
  ASSERT_NO_FATAL_FAILURE(ExpectStopsCleanly());
  EXPECT_LT(Clock::now() - stop_sent, 5s) << "the service main wakes on the stop control";
  ExpectNoLibraryCalls(logs);

  ASSERT_NO_FATAL_FAILURE(ExpectStartsAgain());
}

// Stop controls sent from the start on: refused while the service starts (it accepts no
// control then), taken once it runs; it ends stopped with exit code 0, leaves no pipe
// behind, and starts again as usual.
TEST_F(ServiceStop, EarlyStopIsRefusedUntilRunningThenEndsStoppedAndStartsAgain) {
  ASSERT_NO_FATAL_FAILURE(StopServiceAt(h.standins_exe));
  ASSERT_EQ(h.service.Start(), 0u);
  StatusSample at_control;
  DWORD error = 0;
  static_cast<void>(WaitUntil([&] { return (error = h.service.Stop(&at_control)) == 0; }));
  ASSERT_EQ(error, 0u) << Describe(at_control);

  ASSERT_NO_FATAL_FAILURE(ExpectStopsCleanly());
  ExpectPipeGone();

  ASSERT_NO_FATAL_FAILURE(ExpectStartsAgain());
}

// A service stop while the tunnel runs and a client is served: the pipe server goes first,
// so the client whose "start" was read before the stop control still takes its reply after
// it, from a tunnel that still runs, and nothing brings the tunnel back; then the tunnel is
// stopped once and its filters removed.
TEST_F(ServiceStop, WhileTheTunnelRunsStopsThePipeServerFirst) {
  BRUMO_REQUIRE_DEVICE(true);
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.standins_exe));
  ASSERT_EQ(Send(kStartRequest), kStartedReply);
  logs.Mark();

  DWORD connect_error = 0;
  const ScopedFileHandle held = OpenWithin(10s, &connect_error);
  ASSERT_TRUE(held) << connect_error;
  ASSERT_TRUE(WriteBytes(held.get(), kStartRequest));
  // The reply's first byte: the request has been read and processed. The rest is left in
  // the pipe, so that the server still serves this client when the stop comes.
  char first = 0;
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(held.get(), &first, 1, &got, nullptr)) << GetLastError();
  const Clock::time_point stop_sent = Clock::now();
  ASSERT_NO_FATAL_FAILURE(SendStopControl());
  // The server waits up to 500 ms for this client to take the rest of its reply; for the
  // first 150 ms of that the tunnel must still run.
  EXPECT_FALSE(WaitUntil([&] { return !logs.Tun2proxyLines().empty(); }, 150ms))
      << "the tunnel was stopped before the pipe server";
  EXPECT_EQ(first + ReadUntilEnd(held.get()).bytes, kAlreadyRunningReply);

  ASSERT_NO_FATAL_FAILURE(ExpectStopsCleanly());
  EXPECT_LT(Clock::now() - stop_sent, 5s) << "the service main wakes on the stop control";
  EXPECT_EQ(logs.Tun2proxyLines(), Lines{kStopLine}) << "the tunnel is stopped once";
  EXPECT_EQ(logs.FwpCalls().size(), 14u) << "filters removed once: " << Functions(logs.FwpCalls());
  ExpectPipeGone();

  // Started again, it serves as before.
  ASSERT_NO_FATAL_FAILURE(ExpectStartsAgain());
  logs.Mark();
  EXPECT_EQ(Send(kStartRequest), kStartedReply);
  EXPECT_EQ(logs.Tun2proxyLines(), (Lines{kClearCallbackLine, kRunLine}));
  EXPECT_EQ(Send(kActiveRequest), kActiveReply);
  EXPECT_EQ(Send(kStopRequest), kStoppedReply);
}

// A tunnel whose tun2proxy never returns from its run call, whatever the stops, as a run
// held in its teardown: the service stop still ends, in stopped with 1066 and the
// shutdown's own code once the service's bound has passed, and the process is gone with
// the exit code 1066. Started again from the usual copy, it serves as before.
TEST_F(ServiceStop, WhenTheTunnelNeverStopsEndsTheProcessWithItsCode) {
  BRUMO_REQUIRE_DEVICE(true);
  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.hung_exe));
  ASSERT_EQ(Send(kStartRequest), kStartedReply);
  StatusSample running;
  ASSERT_EQ(h.service.Query(&running), 0u);
  const ScopedHandle process(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, running.process_id));
  ASSERT_TRUE(process) << GetLastError();

  ASSERT_EQ(h.service.Stop(), 0u);
  StatusSample stopped;
  ASSERT_NO_FATAL_FAILURE(AwaitState(SERVICE_STOPPED, &stopped, 45000));
  // Specific code 2: a shutdown that did not finish; a stopped service handles no control.
  EXPECT_TRUE(stopped.SameReport({SERVICE_STOPPED, 0, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR, 2}))
      << Describe(stopped);
  ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0) << "the process stays";
  DWORD exit_code = 0;
  ASSERT_TRUE(GetExitCodeProcess(process.get(), &exit_code));
  EXPECT_EQ(exit_code, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  ExpectPipeGone();

  ASSERT_NO_FATAL_FAILURE(RunServiceFrom(h.standins_exe));
  EXPECT_EQ(Send(kActiveRequest), kInactiveReply);
}

}  // namespace
}  // namespace brumo::e2e
