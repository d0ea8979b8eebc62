#include "tools/brumoctl.h"

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/ranges.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/standins/ctl_transport/fake_ctl_transport.h"
#include "tests/support/test_support.h"

namespace brumo {
namespace ctl {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Kind = ParsedArguments::Kind;
using namespace test_support;

std::string Join(const std::vector<std::string>& args) {
  return args.empty() ? "" : fmt::format("[{}]", fmt::join(args, "]["));
}

// The whole parse of each command line: kind, error, request bytes and verification.
TEST(BrumoctlArgumentsTest, ParsedAsRunHelpOrUsageError) {
  struct Case {
    std::vector<std::string> args;
    Kind kind;
    std::string error{};
    std::string request{};
    bool verify = true;
  };
  const Case cases[] = {
      {{"start"}, Kind::kRun, "", R"({"command":"start"})"},
      {{"stop"}, Kind::kRun, "", R"({"command":"stop"})"},
      {{"active"}, Kind::kRun, "", R"({"command":"active"})"},
      {{"--no-verify", "active"}, Kind::kRun, "", R"({"command":"active"})", false},
      {{"active", "--no-verify"}, Kind::kRun, "", R"({"command":"active"})", false},
      {{"send", R"({"command":"active"})"}, Kind::kRun, "", R"({"command":"active"})"},
      // The raw request is taken verbatim, whatever it looks like.
      {{"send", "  {bad json\r\n"}, Kind::kRun, "", "  {bad json\r\n"},
      {{"send", "--no-verify"}, Kind::kRun, "", "--no-verify"},
      {{"--no-verify", "send", "-h"}, Kind::kRun, "", "-h", false},
      {{"send", "x", "--no-verify"}, Kind::kRun, "", "x", false},
      {{}, Kind::kUsageError, "no command given"},
      {{"--no-verify"}, Kind::kUsageError, "no command given"},
      {{"restart"}, Kind::kUsageError, "unknown command \"restart\""},
      {{"START"}, Kind::kUsageError, "unknown command \"START\""},
      {{"--force", "start"}, Kind::kUsageError, "unknown option \"--force\""},
      {{"start", "stop"}, Kind::kUsageError, "unexpected argument \"stop\""},
      {{"send"}, Kind::kUsageError, "send needs the raw request"},
      {{"send", ""}, Kind::kUsageError, "send needs a non-empty request"},
      {{"send", "a", "b"}, Kind::kUsageError, "unexpected argument \"b\""},
      {{"--help"}, Kind::kHelp, ""},
      {{"start", "-h"}, Kind::kHelp, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Join(c.args));
    const ParsedArguments parsed = ParseArguments(c.args);
    EXPECT_EQ(std::tie(parsed.kind, parsed.error, parsed.options.request, parsed.options.verify),
              std::tie(c.kind, c.error, c.request, c.verify));
  }
}

TEST(BrumoctlVerifyTest, PipeServerAgainstService) {
  struct Case {
    const char* name;
    std::uint32_t service_error;  // the service query's, of `failed_call`
    const char* failed_call;
    std::uint32_t service_pid, pipe_error, pipe_pid;
    std::string refusal;  // empty: allowed
  };
  const Case cases[] = {
      {"served by the service", 0, "", 4242, 0, 4242, ""},
      {"service not installed", 1060, "OpenServiceW", 0, 0, 77, ""},
      {"not installed, pipe server unknown", 1060, "OpenServiceW", 0, 5, 0, ""},
      {"served by another process", 0, "", 4242, 0, 77,
       "refusing to send: \\\\.\\pipe\\BrumoVPN is served by process 77, not by the BrumoVPN "
       "service (process 4242)"},
      {"service stopped", 0, "", 0, 0, 77,
       "refusing to send: the BrumoVPN service is not running, yet process 77 serves "
       "\\\\.\\pipe\\BrumoVPN"},
      {"SCM query fails", 5, "OpenSCManagerW", 0, 0, 77,
       "cannot verify the pipe's server: OpenSCManagerW failed: 5 (text of 5); --no-verify skips "
       "the check"},
      {"pipe server query fails", 0, "", 4242, 50, 0,
       "cannot verify the pipe's server: GetNamedPipeServerProcessId failed: 50 (text of 50); "
       "--no-verify skips the check"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ServiceProcessQuery service{c.service_error, c.failed_call, c.service_pid};
    EXPECT_EQ(CheckPipeServer(service, c.pipe_error, c.pipe_pid).value_or(""), c.refusal);
  }
}

// Standard error holds exactly one line, which holds `part`.
void ExpectOneLine(const std::string& err, const std::string& part = "") {
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.find("brumoctl: "), 0u);
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_THAT(err, HasSubstr(part));
}

// Each reply as ClassifyReply judges it, and as a run that gets it prints it and exits
// with the verdict. (No reply at all: TransportFailuresAreReportedOnOneLine.)
TEST(BrumoctlRunTest, ReplyDecidesExitStatus) {
  const std::pair<std::string, int> cases[] = {
      {std::string(kStartedReply), 0},
      {std::string(kInactiveReply), 0},
      {std::string(kAlreadyRunningReply), 1},
      {R"({"status":"error"})", 1},
      {R"({"message":"x","status":"OK"})", 2},
      {R"({"message":"x","status":true})", 2},
      {R"({"message":"x"})", 2},
      {R"(["status","ok"])", 2},
      {R"("ok")", 2},
      {R"({"status":"ok"} trailing)", 2},
      {"not json", 2},
      {"", 2},
  };
  for (const auto& [reply, exit_code] : cases) {
    SCOPED_TRACE(reply);
    const ReplyVerdict verdict = ClassifyReply(reply);
    EXPECT_EQ(verdict.exit_code, exit_code);
    EXPECT_EQ(verdict.reason.empty(), exit_code != 2);
    if (reply.empty()) continue;
    fake_transport::Reset({.reply = reply});
    const Outcome outcome = RunClient({"send", std::string(kStartRequest)});
    EXPECT_EQ(outcome.exit_code, exit_code);
    // The reply is printed whatever it says.
    EXPECT_EQ(outcome.out, reply + "\n");
    EXPECT_EQ(outcome.err.empty(), exit_code != 2) << outcome.err;
    if (exit_code == 2) ExpectOneLine(outcome.err);
  }
}

// The calls of a run: the server's identity checked before the request is written (and a
// foreign one refused), or not at all with --no-verify.
TEST(BrumoctlRunTest, VerifiesTheServerBeforeWriting) {
  struct Case {
    std::vector<std::string> args;
    std::uint32_t pipe_server_process_id;
    int exit_code;
    std::string refusal;  // empty: the reply is printed
    std::string calls;
  };
  const std::string checked = "[open][query service][query pipe server]";
  const Case cases[] = {
      {{"start"}, 4242, 0, "", checked + R"([write {"command":"start"}][read][close])"},
      // Would be refused if checked.
      {{"--no-verify", "active"}, 77, 0, "", R"([open][write {"command":"active"}][read][close])"},
      {{"stop"}, 77, 2, "served by process 77", checked + "[close]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Join(c.args));
    fake_transport::Reset(
        {.pipe_server_process_id = c.pipe_server_process_id, .reply = std::string(kStartedReply)});
    const Outcome outcome = RunClient(c.args);
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    EXPECT_EQ(outcome.out, c.refusal.empty() ? std::string(kStartedReply) + "\n" : "");
    EXPECT_EQ(outcome.err.empty(), c.refusal.empty()) << outcome.err;
    if (!c.refusal.empty()) ExpectOneLine(outcome.err, c.refusal);
    EXPECT_EQ(Join(fake_transport::Calls()), c.calls);
  }
}

TEST(BrumoctlRunTest, BusyPipeIsWaitedForUpToTheBound) {
  struct Case {
    const char* name;
    std::deque<std::uint32_t> opens;
    bool wait_result;
    std::string calls;  // up to the write, or all when it fails
    std::string error;
  };
  // An open that finds the pipe busy and waits, and one that finds none and pauses.
  const std::string busy = "[open][wait 1000]", absent = "[open][pause 100]";
  const std::string gone = "went away while it was busy";
  std::deque<std::uint32_t> always_busy(kMaxOpenAttempts + 5, kErrorPipeBusy);
  std::string busy_calls;
  for (int i = 1; i < kMaxOpenAttempts; ++i) busy_calls += busy;
  busy_calls += "[open]";
  std::deque<std::uint32_t> busy_then_gone(kMaxOpenAttempts - 1, kErrorPipeBusy);
  busy_then_gone.push_back(kErrorFileNotFound);
  const Case cases[] = {
      {"busy twice", {231, 231}, true, busy + busy + "[open]", ""},
      {"wait fails at once", {231}, false, busy + "[pause 100][open]", ""},
      {"not found once after busy", {231, 2}, true, busy + absent + "[open]", ""},
      // The server went away while busy: said as such, not as a pipe that stayed busy.
      {"gone after busy", {231, 2, 2, 2}, true, busy + absent + absent + "[open]", gone},
      {"gone at the last attempt", busy_then_gone, true, busy_calls, gone},
      {"never free", always_busy, true, busy_calls, "still busy after 10 attempts"},
      {"between instances, no busy seen", {2, 2}, true, absent + absent + "[open]", ""},
      {"not running",
       {2, 2, 2},
       true,
       absent + absent + "[open]",
       "\\\\.\\pipe\\BrumoVPN not found"},
      {"access denied", {5}, true, "[open]", "CreateFileW failed: 5 (text of 5)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_transport::Reset({.open_results = c.opens, .wait_result = c.wait_result});

    const Outcome outcome = RunClient({"--no-verify", "active"});

    const std::string calls = Join(fake_transport::Calls());
    if (c.error.empty()) {
      EXPECT_EQ(outcome.exit_code, 0);
      EXPECT_EQ(calls.substr(0, c.calls.size() + 6), c.calls + "[write");
    } else {
      EXPECT_EQ(outcome.exit_code, 2);
      ExpectOneLine(outcome.err, c.error);
      // Nothing was opened, so nothing is closed.
      EXPECT_EQ(calls, c.calls);
    }
  }
}

TEST(BrumoctlRunTest, TransportFailuresAreReportedOnOneLine) {
  struct Case {
    const char* name;
    std::uint32_t write_error, read_error;
    bool wait_fails;
    std::string error;
    std::string reply = R"({"status":"ok"})";
  };
  const Case cases[] = {
      {"write fails", 232, 0, false,
       "brumoctl: cannot send the request: WriteFile failed: 232 (text of 232)\n"},
      {"read fails", 0, 6, false,
       "brumoctl: cannot read the reply: ReadFile failed: 6 (text of 6)\n"},
      {"no reply", 0, 0, false, "brumoctl: the service closed the connection without a reply\n",
       ""},
      {"request not taken in time", kErrorTimeout, 0, false,
       "brumoctl: cannot send the request: the service did not take it within 10 s\n"},
      {"reply not complete in time", 0, kErrorTimeout, false,
       "brumoctl: no complete reply within 10 s (the service holds the connection)\n"},
      {"reply too long", 0, kErrorMoreData, false,
       "brumoctl: the reply is longer than 65536 bytes\n"},
      // A failed wait is no time-out, whatever its code.
      {"wait for the write fails", kErrorTimeout, 0, true,
       "brumoctl: cannot send the request: WaitForSingleObject failed: 1460 (text of 1460)\n"},
      {"wait for the read fails", 0, 6, true,
       "brumoctl: cannot read the reply: WaitForSingleObject failed: 6 (text of 6)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_transport::Reset({.write_error = c.write_error,
                           .read_error = c.read_error,
                           .wait_fails = c.wait_fails,
                           .reply = c.reply});
    const Outcome outcome = RunClient({"active"});
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, c.error);
    ASSERT_FALSE(fake_transport::Calls().empty());
    EXPECT_EQ(fake_transport::Calls().back(), "close");
  }
}

TEST(BrumoctlRunTest, UsageAndHelpTouchNoPipe) {
  fake_transport::Reset({});
  const Outcome bad = RunClient({"restart"});
  EXPECT_EQ(bad.exit_code, 2);
  ExpectOneLine(bad.err, "unknown command \"restart\"");

  const Outcome help = RunClient({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out, UsageText());

  // Longer than the service's one read: refused before any connect.
  const Outcome oversized = RunClient({"send", std::string(65536, 'x')});
  EXPECT_EQ(oversized.exit_code, 2);
  EXPECT_EQ(oversized.err,
            "brumoctl: the request is 65536 bytes; the service takes at most 65535\n");
  EXPECT_THAT(fake_transport::Calls(), IsEmpty());
  EXPECT_EQ(RunClient({"send", std::string(65535, 'x')}).exit_code, 0);
}

}  // namespace
}  // namespace ctl
}  // namespace brumo
