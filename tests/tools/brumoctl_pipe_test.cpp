// brumoctl.exe against a pipe server of this program's own under Wine: the request bytes
// it writes, the reply it prints, its exit status, the busy wait and the check of the
// pipe's server against the installed service. brumoctl.exe is copied beside this program.
#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/scoped_resource.h"
#include "control/control_pipe_server.h"
#include "tests/service/process_runner.h"

namespace brumo {
namespace {

using ::testing::HasSubstr;
using testing_support::OwnDirectory;
using testing_support::ProcessResult;
using testing_support::RunProcess;

ScopedFileHandle CreateInstance() {
  return ScopedFileHandle(CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                           65536, 65536, 0, nullptr));
}

// Serves one exchange on `instance` the way the service does: one read, one write, flush,
// disconnect. Returns the request bytes, or nothing when the client left without one.
std::string ServeOne(ScopedFileHandle instance, const std::string& reply) {
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
  if (read > 0) {
    DWORD written = 0;
    WriteFile(instance.get(), reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
    FlushFileBuffers(instance.get());
  }
  DisconnectNamedPipe(instance.get());
  return request;
}

ProcessResult Brumoctl(const std::wstring& arguments) {
  return RunProcess(L"\"" + OwnDirectory() + L"brumoctl.exe\" " + arguments);
}

// The "BrumoVPN" service entry in the SCM, removed again when the test ends.
class InstalledService {
 public:
  InstalledService() {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager_) return;
    // Left over from an interrupted run.
    if (ScopedServiceHandle old(OpenServiceW(manager_.get(), L"BrumoVPN", DELETE)); old) {
      DeleteService(old.get());
    }
    const std::wstring binary = L"\"" + OwnDirectory() + L"BrumoVPN-not-started.exe\"";
    service_.reset(CreateServiceW(manager_.get(), L"BrumoVPN", L"BrumoVPN", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
  }
  ~InstalledService() {
    if (service_) DeleteService(service_.get());
  }
  InstalledService(const InstalledService&) = delete;
  InstalledService& operator=(const InstalledService&) = delete;

  explicit operator bool() const { return static_cast<bool>(service_); }

 private:
  ScopedServiceHandle manager_;
  ScopedServiceHandle service_;
};

TEST(BrumoctlPipeTest, SendsTheRequestAndPrintsTheReply) {
  struct Case {
    const char* name;
    std::wstring arguments;
    std::string request;
    std::string reply;
    DWORD exit_code;
  };
  const Case cases[] = {
      {"active, not verified", L"--no-verify active", R"({"command":"active"})",
       R"({"message":"inactive","running":false,"status":"ok"})", 0},
      {"raw request, error reply", L"--no-verify send \"{\\\"command\\\":\\\"start\\\"}\"",
       R"({"command":"start"})", R"({"message":"VPN already running","status":"error"})", 1},
      // The command line is UTF-16; the pipe gets UTF-8.
      {"raw request in UTF-8", L"--no-verify send \"{\\\"command\\\":\\\"\u00e9\\\"}\"",
       "{\"command\":\"\xC3\xA9\"}", R"({"message":"Unknown command","status":"error"})", 1},
      // Not installed: there is no service process to check the server against.
      {"verified, service not installed", L"stop", R"({"command":"stop"})",
       R"({"message":"VPN stopped successfully","status":"ok"})", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedFileHandle instance = CreateInstance();
    ASSERT_TRUE(instance) << GetLastError();
    std::future<std::string> request =
        std::async(std::launch::async, ServeOne, std::move(instance), c.reply);

    const ProcessResult result = Brumoctl(c.arguments);

    EXPECT_EQ(request.get(), c.request);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    EXPECT_EQ(result.out, c.reply + "\r\n");
    EXPECT_EQ(result.err, "");
  }
}

TEST(BrumoctlPipeTest, NoServerMeansExitTwoWithOneLine) {
  const ProcessResult result = Brumoctl(L"active");
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, HasSubstr("not found"));
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1);
}

// The pipe is held by another client when brumoctl comes; it waits and is served once the
// server has closed that instance and made the next.
TEST(BrumoctlPipeTest, WaitsForABusyPipe) {
  ScopedFileHandle first = CreateInstance();
  ASSERT_TRUE(first);
  ScopedFileHandle holder(
      CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder) << GetLastError();
  std::future<ProcessResult> client =
      std::async(std::launch::async, Brumoctl, std::wstring(L"--no-verify active"));

  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  holder.reset();
  DisconnectNamedPipe(first.get());
  first.reset();
  const std::string reply = R"({"message":"inactive","running":false,"status":"ok"})";
  const std::string request = ServeOne(CreateInstance(), reply);

  const ProcessResult result = client.get();
  EXPECT_EQ(request, R"({"command":"active"})");
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(result.out, reply + "\r\n");
}

// With the service installed but not running, whoever serves the pipe is not the service.
TEST(BrumoctlPipeTest, RefusesAPipeNotServedByTheInstalledService) {
  const InstalledService service;
  ASSERT_TRUE(service) << GetLastError();
  ScopedFileHandle instance = CreateInstance();
  ASSERT_TRUE(instance);
  std::future<std::string> request =
      std::async(std::launch::async, ServeOne, std::move(instance), std::string("{}"));

  const ProcessResult result = Brumoctl(L"start");

  // It connected, checked and left without writing.
  EXPECT_EQ(request.get(), "");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, HasSubstr("the BrumoVPN service is not running, yet process " +
                                    std::to_string(GetCurrentProcessId()) + " serves"));
}

}  // namespace
}  // namespace brumo
