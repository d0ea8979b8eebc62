// The pipe's name against another process that wants it: the server never joins a pipe of
// another process's, never leaves its own name free between two clients, and a name held
// at its start neither keeps it from stopping nor from serving once the name is free.
// pipe_name_holder.exe, beside this program, is the other process.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "tests/control/pipe/pipe_server_fixture.h"
#include "tests/support/pipe_client.h"
#include "tests/support/process_runner.h"

namespace brumo::pipe_test {
namespace {

using namespace ::brumo::test_support;
using std::chrono::milliseconds;

std::wstring HolderPath() { return OwnDirectory() + L"pipe_name_holder.exe"; }

// pipe_name_holder in `mode` ("hold" or "squat") with its arguments, run to its end.
std::future<ProcessResult> RunHolder(const wchar_t* mode, DWORD instances, int ms) {
  const std::wstring command = L"\"" + HolderPath() + L"\" " + mode + L" " +
                               std::to_wstring(instances) + L" " + std::to_wstring(ms);
  return std::async(std::launch::async, [command] { return RunProcess(command, HolderPath()); });
}

// What `pipe`'s server sends back for "active", to its disconnect, when it is a server of
// this process; nothing otherwise. A client that finds the server of another process is left
// at that: that server never answers.
ReadResult AskHere(const ScopedFileHandle& pipe) {
  ULONG server = 0;
  if (!pipe || !::GetNamedPipeServerProcessId(pipe.get(), &server) ||
      server != ::GetCurrentProcessId() || !WriteBytes(pipe.get(), kActiveRequest)) {
    return {};
  }
  return ReadUntilEnd(pipe.get());
}

// Clients that a server of this process answered during `period`.
int ClientsAnsweredHere(milliseconds period) {
  int answered_here = 0;
  const auto until = std::chrono::steady_clock::now() + period;
  for (DWORD error = 0; std::chrono::steady_clock::now() < until;) {
    answered_here += !AskHere(OpenOnce(&error)).bytes.empty();
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
    // Held for 4 s from its creation; the server is started twice meanwhile.
    auto holder = RunHolder(L"hold", instances, 4000);
    ASSERT_TRUE(WaitUntil([] {
      DWORD error = 0;
      OpenOnce(&error);
      return error != ERROR_FILE_NOT_FOUND;
    })) << "the holder made no pipe";

    ASSERT_TRUE(server_.Start());
    EXPECT_EQ(ClientsAnsweredHere(kCreateRetryDelay * 2 + milliseconds(500)), 0);
    EXPECT_LT(TimedStop(server_), kStopBound);

    ASSERT_TRUE(server_.Start());
    EXPECT_EQ(holder.get().exit_code, 0u);  // it had the name all along, and has let go
    const Exchange exchange = RoundTrip(kActiveRequest, milliseconds(kCreateRetryDelay * 5));
    EXPECT_EQ(exchange.reply.bytes, kInactiveReply);
    EXPECT_LT(TimedStop(server_), kStopBound);
  }
}

// While the server runs, another process creates the name in a loop, as a pipe of one
// instance and as one of many. It never gets an instance of its own nor a client, and
// every one of the clients sent meanwhile is answered by this process's server.
TEST_F(PipeNameTest, ProcessCreatingTheNameInALoopNeverGetsItWhileTheServerRuns) {
  constexpr int kClientsPerRound = 150;
  ASSERT_TRUE(server_.Start());
  for (DWORD instances : {1ul, 2ul, static_cast<DWORD>(PIPE_UNLIMITED_INSTANCES)}) {
    SCOPED_TRACE(instances);
    auto squatter = RunHolder(L"squat", instances, 3000);
    // At least kClientsPerRound clients, and more for as long as the squatter runs.
    for (int i = 0;
         i < kClientsPerRound || squatter.wait_for(milliseconds(0)) != std::future_status::ready;
         ++i) {
      const ScopedFileHandle pipe = OpenWithin(kLongWait);
      ASSERT_TRUE(pipe) << "client " << i;
      const ReadResult read = AskHere(pipe);
      EXPECT_EQ(read.bytes, kInactiveReply) << "client " << i;
      EXPECT_TRUE(IsDisconnect(read.end_error)) << "client " << i;
    }
    const ProcessResult run = squatter.get();
    ASSERT_EQ(run.start_error, 0u);
    ASSERT_FALSE(run.timed_out);
    long attempts = 0, created = 0, alone = 0, captured = 0;
    ASSERT_EQ(std::sscanf(run.out.c_str(), "attempts=%ld created=%ld alone=%ld captured=%ld",
                          &attempts, &created, &alone, &captured),
              4)
        << run.out << run.err;
    std::printf("instances %lu: %s", static_cast<unsigned long>(instances), run.out.c_str());
    EXPECT_GT(attempts, 0);
    EXPECT_EQ(alone, 0) << "the squatter had the name to itself";
    EXPECT_EQ(captured, 0) << "a client reached the squatter";
  }
  EXPECT_LT(TimedStop(server_), kStopBound);
}

}  // namespace
}  // namespace brumo::pipe_test
