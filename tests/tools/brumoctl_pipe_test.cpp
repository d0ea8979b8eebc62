// brumoctl.exe against a pipe server of this program's own under Wine: the request bytes
// it writes, the reply it prints, its exit status, the busy wait, the bounds of its read
// and the check of the pipe's server against the installed service. brumoctl.exe is copied
// beside this program.
#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/scope_exit.h"
#include "common/scoped_resource_win.h"
#include "control/control_names.h"
#include "tests/support/pipe_client.h"
#include "tests/support/process_runner.h"
#include "tests/support/service_entry.h"
#include "tests/support/test_support.h"
#include "tools/ctl_transport.h"

namespace brumo {
namespace {

using ::testing::HasSubstr;
using namespace test_support;

ScopedFileHandle CreateInstance(DWORD open_mode = PIPE_ACCESS_DUPLEX) {
  return ScopedFileHandle(CreateNamedPipeW(kPipeName, open_mode,
                                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                           65536, 65536, 0, nullptr));
}

// Serves one exchange on `instance` the way the service does: one read, one write, flush,
// disconnect. Without a reply it neither replies nor disconnects, and returns once the
// client has closed its end. Returns the request bytes, or nothing when the client left
// without one.
std::string ServeOne(ScopedFileHandle instance, std::optional<std::string> reply) {
  if (!ConnectNamedPipe(instance.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    return {};
  }
  std::string request(65535, '\0');
  DWORD read = 0;
  if (!ReadFile(instance.get(), request.data(), static_cast<DWORD>(request.size()), &read,
                nullptr)) {
    read = 0;
  }
  request.resize(read);
  if (!reply) {
    char more = 0;
    ReadFile(instance.get(), &more, 1, &read, nullptr);
  } else if (!request.empty()) {
    WriteBytes(instance.get(), *reply);
    FlushFileBuffers(instance.get());
  }
  DisconnectNamedPipe(instance.get());
  return request;
}

// A new instance that serves one exchange (ServeOne) on a thread of its own.
std::future<std::string> ServeOneAsync(std::optional<std::string> reply) {
  ScopedFileHandle instance = CreateInstance();
  EXPECT_TRUE(instance) << GetLastError();
  return std::async(std::launch::async, ServeOne, std::move(instance), std::move(reply));
}

ProcessResult Brumoctl(const std::wstring& arguments) {
  return RunProcess(L"\"" + OwnDirectory() + L"brumoctl.exe\" " + arguments);
}

// Exit status 2, nothing on standard output, and `words` on standard error.
void ExpectFailed(const ProcessResult& result, const std::string& words) {
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, HasSubstr(words));
}

// A JSON reply of exactly `size` bytes with "status" "ok".
std::string OkReplyOfSize(std::size_t size) {
  std::string reply = R"({"status":"ok","message":")";
  reply.append(size - reply.size() - 2, 'x');
  return reply + "\"}";
}

// Starts `brumoctl --no-verify active` while another client holds the pipe's only
// instance, and lets that client go once brumoctl has had time to find the pipe busy.
void StartClientOnBusyPipe(std::future<ProcessResult>* client) {
  DWORD error = 0;
  const ScopedFileHandle holder = OpenOnce(&error);
  ASSERT_TRUE(holder) << error;
  *client = std::async(std::launch::async, Brumoctl, std::wstring(L"--no-verify active"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

// What brumoctl writes, prints and exits with for each reply; with no reply (nullopt) the
// server neither replies nor disconnects, and brumoctl gives up after its bound of ten seconds
// instead of waiting for ever.
TEST(BrumoctlPipeTest, SendsTheRequestAndPrintsTheReply) {
  struct Case {
    const char* name;
    std::wstring arguments;
    std::string request;
    std::optional<std::string> reply;
    DWORD exit_code;
    std::string err = "";  // some words of it; empty: none, and the reply printed
  };
  const Case cases[] = {
      {"active, not verified", L"--no-verify active", std::string(kActiveRequest),
       std::string(kInactiveReply), 0},
      {"raw request, error reply", L"--no-verify send \"{\\\"command\\\":\\\"start\\\"}\"",
       std::string(kStartRequest), std::string(kAlreadyRunningReply), 1},
      // The command line is UTF-16; the pipe gets UTF-8.
      {"raw request in UTF-8", L"--no-verify send \"{\\\"command\\\":\\\"\u00e9\\\"}\"",
       "{\"command\":\"\xC3\xA9\"}", R"({"message":"Unknown command","status":"error"})", 1},
      // Not installed: there is no service process to check the server against.
      {"verified, service not installed", L"stop", std::string(kStopRequest),
       std::string(kStoppedReply), 0},
      {"reply of 64 KiB", L"--no-verify active", std::string(kActiveRequest),
       OkReplyOfSize(ctl::kMaxReplyBytes), 0},
      {"reply one byte longer", L"--no-verify active", std::string(kActiveRequest),
       OkReplyOfSize(ctl::kMaxReplyBytes + 1), 2, "longer than 65536 bytes"},
      {"reply of 256 KiB", L"--no-verify active", std::string(kActiveRequest),
       OkReplyOfSize(4 * ctl::kMaxReplyBytes), 2, "longer than 65536 bytes"},
      {"no reply", L"--no-verify active", std::string(kActiveRequest), std::nullopt, 2,
       "no complete reply within 10 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::future<std::string> request = ServeOneAsync(c.reply);
    const auto start = std::chrono::steady_clock::now();

    const ProcessResult result = Brumoctl(c.arguments);

    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(request.get(), c.request);
    if (!c.err.empty()) {
      ExpectFailed(result, c.err);
      EXPECT_TRUE(c.reply || took >= std::chrono::milliseconds(ctl::kReplyTimeoutMs / 2));
      continue;
    }
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    EXPECT_TRUE(result.out == *c.reply + "\r\n") << result.out;
    EXPECT_EQ(result.err, "");
  }
}

// No server it may use: exit status 2 and one line, which for a failed call carries the
// code and the system's words for it (Wine's differ from Windows', so only their presence is
// checked). The C runtime writes the line's end as "\r\n".
TEST(BrumoctlPipeTest, UnreachableServerMeansExitTwoWithOneLine) {
  struct Case {
    const char* name;
    DWORD open_mode;  // of the pipe there is; 0: none
    const char* err;  // a regular expression
  };
  const Case cases[] = {
      {"no server", 0, "brumoctl: .*not found.*\r\n"},
      {"a pipe that only takes writes", PIPE_ACCESS_INBOUND,
       "brumoctl: .*CreateFileW failed: 5 \\(.+\\)\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScopedFileHandle instance =
        c.open_mode != 0 ? CreateInstance(c.open_mode) : ScopedFileHandle();
    const ProcessResult result = Brumoctl(L"active");
    ExpectFailed(result, "brumoctl: ");
    EXPECT_THAT(result.err, ::testing::MatchesRegex(c.err));
    EXPECT_EQ(result.err.find_first_of("\r\n"), result.err.size() - 2) << result.err;
  }
}

// The pipe is held by another client when brumoctl comes. It waits and is served once the
// server has disconnected that client and listens again on the same instance, as the
// service does; when the server goes away altogether instead (the service stopped),
// brumoctl says so, rather than that the pipe stayed busy.
TEST(BrumoctlPipeTest, WaitsForABusyPipeAndSeesItGone) {
  for (const bool server_stays : {true, false}) {
    SCOPED_TRACE(server_stays ? "server listens again" : "server goes away");
    ScopedFileHandle instance = CreateInstance();
    ASSERT_TRUE(instance);
    std::future<ProcessResult> client;
    ASSERT_NO_FATAL_FAILURE(StartClientOnBusyPipe(&client));
    if (!server_stays) {
      instance.reset();
      const ProcessResult result = client.get();
      ExpectFailed(result, "went away");
      EXPECT_THAT(result.err, ::testing::Not(HasSubstr("busy after")));
      continue;
    }
    DisconnectNamedPipe(instance.get());
    const std::string request = ServeOne(std::move(instance), std::string(kInactiveReply));
    const ProcessResult result = client.get();
    EXPECT_EQ(request, kActiveRequest);
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(result.out, std::string(kInactiveReply) + "\r\n");
  }
}

// With the service installed but not running, whoever serves the pipe is not the service.
TEST(BrumoctlPipeTest, RefusesAPipeNotServedByTheInstalledService) {
  test_support::ServiceEntry entry;
  ASSERT_EQ(entry.Connect(), 0u);
  ASSERT_EQ(entry.RemoveExisting(), 0u);
  // Never started; removed again when the test ends.
  ASSERT_EQ(entry.Install(OwnDirectory() + L"BrumoVPN-not-started.exe"), 0u);
  const ScopeExit remove([&entry] { entry.RemoveExisting(); });
  std::future<std::string> request = ServeOneAsync("{}");

  const ProcessResult result = Brumoctl(L"start");

  // It connected, checked and left without writing.
  EXPECT_EQ(request.get(), "");
  ExpectFailed(result, "the BrumoVPN service is not running, yet process " +
                           std::to_string(GetCurrentProcessId()) + " serves");
}

}  // namespace
}  // namespace brumo
