#include "tools/brumoctl.h"

#include <algorithm>
#include <string>
#include <tuple>
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

TEST(BrumoctlArgumentsTest, Accepted) {
  struct Case {
    std::vector<std::string> args;
    std::string request;
    bool verify;
  };
  const Case cases[] = {
      {{"start"}, R"({"command":"start"})", true},
      {{"stop"}, R"({"command":"stop"})", true},
      {{"active"}, R"({"command":"active"})", true},
      {{"--no-verify", "active"}, R"({"command":"active"})", false},
      {{"active", "--no-verify"}, R"({"command":"active"})", false},
      {{"send", R"({"command":"active"})"}, R"({"command":"active"})", true},
      // The raw request is taken verbatim, whatever it looks like.
      {{"send", "  {bad json\r\n"}, "  {bad json\r\n", true},
      {{"send", "--no-verify"}, "--no-verify", true},
      {{"--no-verify", "send", "-h"}, "-h", false},
      {{"send", "x", "--no-verify"}, "x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Join(c.args));
    const ParsedArguments parsed = ParseArguments(c.args);
    EXPECT_EQ(std::tie(parsed.kind, parsed.error, parsed.options.request, parsed.options.verify),
              std::tuple(Kind::kRun, "", c.request, c.verify));
  }
}

TEST(BrumoctlArgumentsTest, RejectedOrHelp) {
  struct Case {
    std::vector<std::string> args;
    Kind kind;
    std::string error;
  };
  const Case cases[] = {
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
    EXPECT_EQ(std::tie(parsed.kind, parsed.error), std::tie(c.kind, c.error));
  }
}

TEST(BrumoctlVerifyTest, PipeServerAgainstService) {
  const auto service = [](std::uint32_t error, std::string call, std::uint32_t pid) {
    return ServiceProcessQuery{error, std::move(call), pid};
  };
  struct Case {
    const char* name;
    ServiceProcessQuery query;
    std::uint32_t pipe_error;
    std::uint32_t pipe_pid;
    std::string refusal;  // empty: allowed
  };
  const Case cases[] = {
      {"served by the service", service(0, "", 4242), 0, 4242, ""},
      {"service not installed", service(1060, "OpenServiceW", 0), 0, 77, ""},
      {"not installed, pipe server unknown", service(1060, "OpenServiceW", 0), 5, 0, ""},
      {"served by another process", service(0, "", 4242), 0, 77,
       "refusing to send: \\\\.\\pipe\\BrumoVPN is served by process 77, not by the BrumoVPN "
       "service (process 4242)"},
      {"service stopped", service(0, "", 0), 0, 77,
       "refusing to send: the BrumoVPN service is not running, yet process 77 serves "
       "\\\\.\\pipe\\BrumoVPN"},
      {"SCM query fails", service(5, "OpenSCManagerW", 0), 0, 77,
       "cannot verify the pipe's server: OpenSCManagerW failed: 5 (text of 5); --no-verify skips "
       "the check"},
      {"pipe server query fails", service(0, "", 4242), 50, 0,
       "cannot verify the pipe's server: GetNamedPipeServerProcessId failed: 50 (text of 50); "
       "--no-verify skips the check"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<std::string> refusal = CheckPipeServer(c.query, c.pipe_error, c.pipe_pid);
    EXPECT_EQ(refusal.value_or(""), c.refusal);
  }
}

fake_transport::Script Served(std::string reply) {
  fake_transport::Script script;
  script.service = ServiceProcessQuery{0, "", 4242};
  script.pipe_server_process_id = 4242;
  script.reply = std::move(reply);
  return script;
}

// Standard error holds exactly one line, which holds `part`.
void ExpectOneLine(const std::string& err, const std::string& part = "") {
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.find("brumoctl: "), 0u);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  EXPECT_EQ(err.back(), '\n');
  EXPECT_THAT(err, HasSubstr(part));
}

// Each reply as ClassifyReply judges it, and as a run that gets it prints it and exits
// with the verdict. (No reply at all: TransportFailuresAreReportedOnOneLine.)
TEST(BrumoctlRunTest, ReplyDecidesExitStatus) {
  struct Case {
    std::string reply;
    int exit_code;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    const ReplyVerdict verdict = ClassifyReply(c.reply);
    EXPECT_EQ(verdict.exit_code, c.exit_code);
    EXPECT_EQ(verdict.reason.empty(), c.exit_code != 2);
    if (c.reply.empty()) continue;
    fake_transport::Reset(Served(c.reply));
    const Outcome outcome = RunClient({"send", std::string(kStartRequest)});
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    // The reply is printed whatever it says.
    EXPECT_EQ(outcome.out, c.reply + "\n");
    if (c.exit_code == 2) {
      ExpectOneLine(outcome.err);
    } else {
      EXPECT_EQ(outcome.err, "");
    }
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
  const Case cases[] = {
      {{"start"},
       4242,
       0,
       "",
       R"([open][query service][query pipe server][write {"command":"start"}][read][close])"},
      // Would be refused if checked.
      {{"--no-verify", "active"}, 77, 0, "", R"([open][write {"command":"active"}][read][close])"},
      {{"stop"}, 77, 2, "served by process 77", "[open][query service][query pipe server][close]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Join(c.args));
    fake_transport::Script script = Served(std::string(kStartedReply));
    script.pipe_server_process_id = c.pipe_server_process_id;
    fake_transport::Reset(script);
    const Outcome outcome = RunClient(c.args);
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    if (c.refusal.empty()) {
      EXPECT_EQ(outcome.out, std::string(kStartedReply) + "\n");
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_EQ(outcome.out, "");
      ExpectOneLine(outcome.err, c.refusal);
    }
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
  std::deque<std::uint32_t> always_busy(kMaxOpenAttempts + 5, kErrorPipeBusy);
  std::string busy_calls;
  for (int i = 1; i < kMaxOpenAttempts; ++i) busy_calls += "[open][wait 1000]";
  busy_calls += "[open]";
  std::deque<std::uint32_t> busy_then_gone(kMaxOpenAttempts - 1, kErrorPipeBusy);
  busy_then_gone.push_back(kErrorFileNotFound);
  const Case cases[] = {
      {"busy twice", {231, 231}, true, "[open][wait 1000][open][wait 1000][open]", ""},
      {"wait fails at once", {231}, false, "[open][wait 1000][pause 100][open]", ""},
      {"not found once after busy", {231, 2}, true, "[open][wait 1000][open][pause 100][open]", ""},
      // The server went away while busy: said as such, not as a pipe that stayed busy.
      {"gone after busy",
       {231, 2, 2, 2},
       true,
       "[open][wait 1000][open][pause 100][open][pause 100][open]",
       "went away while it was busy"},
      {"gone at the last attempt", busy_then_gone, true, busy_calls, "went away while it was busy"},
      {"never free", always_busy, true, busy_calls, "still busy after 10 attempts"},
      {"between instances, no busy seen",
       {2, 2},
       true,
       "[open][pause 100][open][pause 100][open]",
       ""},
      {"not running",
       {2, 2, 2},
       true,
       "[open][pause 100][open][pause 100][open]",
       "\\\\.\\pipe\\BrumoVPN not found"},
      {"access denied", {5}, true, "[open]", "CreateFileW failed: 5 (text of 5)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_transport::Script script = Served(R"({"status":"ok"})");
    script.open_results = c.opens;
    script.wait_result = c.wait_result;
    fake_transport::Reset(script);

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
    std::uint32_t write_error;
    std::uint32_t read_error;
    bool wait_fails;
    std::string reply;
    std::string error;
  };
  const Case cases[] = {
      {"write fails", 232, 0, false, R"({"status":"ok"})",
       "brumoctl: cannot send the request: WriteFile failed: 232 (text of 232)\n"},
      {"read fails", 0, 6, false, R"({"status":"ok"})",
       "brumoctl: cannot read the reply: ReadFile failed: 6 (text of 6)\n"},
      {"no reply", 0, 0, false, "",
       "brumoctl: the service closed the connection without a reply\n"},
      {"request not taken in time", kErrorTimeout, 0, false, R"({"status":"ok"})",
       "brumoctl: cannot send the request: the service did not take it within 10 s\n"},
      {"reply not complete in time", 0, kErrorTimeout, false, R"({"status":"ok"})",
       "brumoctl: no complete reply within 10 s (the service holds the connection)\n"},
      {"reply too long", 0, kErrorMoreData, false, R"({"status":"ok"})",
       "brumoctl: the reply is longer than 65536 bytes\n"},
      // A failed wait is no time-out, whatever its code.
      {"wait for the write fails", kErrorTimeout, 0, true, R"({"status":"ok"})",
       "brumoctl: cannot send the request: WaitForSingleObject failed: 1460 (text of 1460)\n"},
      {"wait for the read fails", 0, 6, true, R"({"status":"ok"})",
       "brumoctl: cannot read the reply: WaitForSingleObject failed: 6 (text of 6)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_transport::Script script = Served(c.reply);
    script.write_error = c.write_error;
    script.read_error = c.read_error;
    script.wait_fails = c.wait_fails;
    fake_transport::Reset(script);
    const Outcome outcome = RunClient({"active"});
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, c.error);
    ASSERT_FALSE(fake_transport::Calls().empty());
    EXPECT_EQ(fake_transport::Calls().back(), "close");
  }
}

TEST(BrumoctlRunTest, UsageAndHelpTouchNoPipe) {
  fake_transport::Reset(Served(R"({"status":"ok"})"));
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
