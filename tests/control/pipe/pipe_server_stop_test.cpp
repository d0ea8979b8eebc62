// Stop over the real pipe, within the bound: while the thread waits for a client, and while
// a client never reads its reply (the flush is cancelled). Where the thread may be when the
// stop comes, and what each client then gets, is tested on the virtual clock
// (pipe_server_loop_test.cpp).
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/control/pipe/pipe_server_fixture.h"
#include "tests/support/pipe_client.h"

namespace brumo::pipe_test {
namespace {

using namespace ::brumo::test_support;
using std::chrono::milliseconds;

// After a stop no instance may be left: the thread closed the last one.
void ExpectNoInstance() {
  DWORD error = 0;
  ScopedFileHandle pipe = OpenOnce(&error);
  EXPECT_FALSE(pipe);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

using PipeServerStopTest = PipeServerTest;

TEST_F(PipeServerStopTest, StopWhileWaitingForAClient) {
  ASSERT_TRUE(server_.Start());
  ASSERT_EQ(RoundTrip(kActiveRequest).reply.bytes, kInactiveReply);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_LT(TimedStop(server_), kStopBound);
  ExpectNoInstance();
}

TEST_F(PipeServerStopTest, StopWhileAClientNeverReadsItsReply) {
  ASSERT_TRUE(server_.Start());
  ScopedFileHandle lazy = OpenWithin(std::chrono::seconds(10));
  ASSERT_TRUE(lazy);
  ASSERT_TRUE(WriteBytes(lazy.get(), kActiveRequest));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LT(TimedStop(server_), kStopBound);
  const ReadResult seen = ReadUntilEnd(lazy.get());
  EXPECT_TRUE(seen.bytes.empty());
  EXPECT_TRUE(IsDisconnect(seen.end_error)) << seen.end_error;
  lazy.reset();
  ExpectNoInstance();
}

}  // namespace
}  // namespace brumo::pipe_test
