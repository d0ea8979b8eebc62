// The pipe's name against another process that wants it: the server never joins a pipe of
// another process's, never leaves its own name free between two clients, and a name held
// at its start neither keeps it from stopping nor from serving once the name is free.
// pipe_name_holder.exe, beside this program, is the other process.
#include <windows.h>

#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <string_view>
#include <thread>

#include "tests/control/pipe/pipe_server_fixture.h"
#include "tests/support/pipe_client.h"
#include "tests/support/process_runner.h"

namespace brumo::pipe_test {
namespace {

using namespace ::brumo::test_support;
using std::chrono::milliseconds;

std::wstring HolderPath() { return OwnDirectory() + L"pipe_name_holder.exe"; }

// pipe_name_holder in hold mode: keeps \\.\pipe\BrumoVPN, without listening, from a process
// of its own until Release closes its standard input.
class NameHolder {
 public:
  NameHolder() = default;
  ~NameHolder() { Release(); }
  NameHolder(const NameHolder&) = delete;
  NameHolder& operator=(const NameHolder&) = delete;

  // True once the holder has created its instance of a pipe of at most `instances`.
  bool Start(DWORD instances) {
    const std::wstring holder = HolderPath();
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    ScopedHandle child_in, child_out;
    if (!::CreatePipe(child_in.put(), stdin_.put(), &inherit, 0)) return false;
    if (!::CreatePipe(stdout_.put(), child_out.put(), &inherit, 0)) return false;
    ::SetHandleInformation(stdin_.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(stdout_.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in.get();
    startup.hStdOutput = child_out.get();
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::wstring command_line = QuotedPath(holder) + L" hold " + std::to_wstring(instances);
    if (!::CreateProcessW(holder.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &info)) {
      return false;
    }
    process_.reset(info.hProcess);
    const ScopedHandle thread(info.hThread);
    child_out.reset();  // so that the read below ends if the holder dies
    char byte = 0;
    DWORD count = 0;
    return ::ReadFile(stdout_.get(), &byte, 1, &count, nullptr) && count == 1;
  }

  void Release() {
    stdin_.reset();
    if (process_) ::WaitForSingleObject(process_.get(), 10000);
    process_.reset();
  }

 private:
  static std::wstring QuotedPath(const std::wstring& path) { return L"\"" + path + L"\""; }

  ScopedHandle stdin_, stdout_, process_;
};

// Clients that a server of this process answered during `period`. A client that opens
// the name and finds the server of another process is left at that: that server never
// answers.
int ClientsAnsweredHere(milliseconds period) {
  int answered_here = 0;
  const auto until = std::chrono::steady_clock::now() + period;
  while (std::chrono::steady_clock::now() < until) {
    DWORD error = 0;
    ScopedFileHandle pipe = OpenOnce(&error);
    ULONG server = 0;
    if (pipe && ::GetNamedPipeServerProcessId(pipe.get(), &server) &&
        server == ::GetCurrentProcessId() && WriteBytes(pipe.get(), kActiveRequest) &&
        !ReadUntilEnd(pipe.get()).bytes.empty()) {
      ++answered_here;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  return answered_here;
}

using PipeNameTest = PipeServerTest;

// Held at the start by a pipe that admits more instances (which Wine would let a creation
// join despite the first-instance flag): the server keeps trying, serves nobody through
// the other pipe, stops at once when asked, and serves as soon as the name is free.
TEST_F(PipeNameTest, NameHeldAtStartIsNeverJoinedAndIsTakenOnceFree) {
  for (DWORD instances : {1ul, static_cast<DWORD>(PIPE_UNLIMITED_INSTANCES)}) {
    SCOPED_TRACE(instances);
    NameHolder holder;
    ASSERT_TRUE(holder.Start(instances));

    ASSERT_TRUE(server_.Start());
    EXPECT_EQ(ClientsAnsweredHere(kCreateRetryDelay * 2 + milliseconds(500)), 0);
    EXPECT_LT(TimedStop(server_), kStopBound);

    ASSERT_TRUE(server_.Start());
    std::this_thread::sleep_for(kCreateRetryDelay + milliseconds(200));
    holder.Release();
    const Exchange exchange = RoundTrip(kActiveRequest, milliseconds(kCreateRetryDelay * 5));
    EXPECT_EQ(exchange.reply.bytes, kInactiveReply);
    EXPECT_LT(TimedStop(server_), kStopBound);
  }
}

// One client's exchange, with the process that served it.
struct ServedExchange {
  bool opened = false;
  ULONG server_process = 0;
  std::string reply;
  bool ended_by_disconnect = false;
};

ServedExchange ExchangeAndAskWhoServed() {
  ServedExchange result;
  ScopedFileHandle pipe = OpenWithin(std::chrono::seconds(10));
  if (!pipe) return result;
  result.opened = true;
  ::GetNamedPipeServerProcessId(pipe.get(), &result.server_process);
  WriteBytes(pipe.get(), kActiveRequest);
  const ReadResult read = ReadUntilEnd(pipe.get());
  result.reply = read.bytes;
  result.ended_by_disconnect = IsDisconnect(read.end_error);
  return result;
}

struct SquatterCounts {
  long attempts = -1, created = -1, alone = -1, captured = -1;
};

// The squatter's "attempts=A created=C alone=L captured=P" line; -1 for a count not found.
SquatterCounts ReadCounts(std::string_view out) {
  const auto take = [out](std::string_view key, long& count) {
    const std::size_t at = out.find(key);
    if (at == std::string_view::npos) return;
    const char* first = out.data() + at + key.size();
    if (std::from_chars(first, out.data() + out.size(), count).ec != std::errc()) count = -1;
  };
  SquatterCounts counts;
  take("attempts=", counts.attempts);
  take("created=", counts.created);
  take("alone=", counts.alone);
  take("captured=", counts.captured);
  return counts;
}

// While the server runs, another process creates the name in a loop, as a pipe of one
// instance and as one of many. It never gets an instance of its own nor a client, and
// every one of the clients sent meanwhile is answered by this process's server.
TEST_F(PipeNameTest, ProcessCreatingTheNameInALoopNeverGetsItWhileTheServerRuns) {
  constexpr int kClientsPerRound = 150;
  ASSERT_TRUE(server_.Start());
  for (DWORD instances : {1ul, 2ul, static_cast<DWORD>(PIPE_UNLIMITED_INSTANCES)}) {
    SCOPED_TRACE(instances);
    auto squatter = std::async(std::launch::async, [instances] {
      return RunProcess(L"\"" + HolderPath() + L"\" squat " + std::to_wstring(instances) + L" 3000",
                        HolderPath(), 60000);
    });
    // At least kClientsPerRound clients, and more for as long as the squatter runs.
    int sent = 0;
    int answered_here = 0;
    for (int i = 0;
         i < kClientsPerRound || squatter.wait_for(milliseconds(0)) != std::future_status::ready;
         ++i) {
      ++sent;
      const ServedExchange exchange = ExchangeAndAskWhoServed();
      EXPECT_TRUE(exchange.opened) << "client " << i;
      EXPECT_EQ(exchange.server_process, ::GetCurrentProcessId()) << "client " << i;
      EXPECT_EQ(exchange.reply, kInactiveReply) << "client " << i;
      EXPECT_TRUE(exchange.ended_by_disconnect) << "client " << i;
      if (exchange.reply == kInactiveReply) ++answered_here;
    }
    const ProcessResult run = squatter.get();
    ASSERT_EQ(run.start_error, 0u);
    ASSERT_FALSE(run.timed_out);
    const SquatterCounts counts = ReadCounts(run.out);
    ASSERT_TRUE(counts.attempts >= 0 && counts.created >= 0 && counts.alone >= 0 &&
                counts.captured >= 0)
        << run.out << run.err;
    std::printf("instances %lu: %s", static_cast<unsigned long>(instances), run.out.c_str());
    EXPECT_GT(counts.attempts, 0);
    EXPECT_EQ(counts.alone, 0) << "the squatter had the name to itself";
    EXPECT_EQ(counts.captured, 0) << "a client reached the squatter";
    EXPECT_EQ(answered_here, sent);
  }
  EXPECT_LT(TimedStop(server_), kStopBound);
}

}  // namespace
}  // namespace brumo::pipe_test
