// Stop over the real pipe: it is never lost and returns within the bound wherever the
// server thread is and whatever its client does.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "tests/control/pipe/pipe_server_fixture.h"
#include "tests/support/pipe_client.h"

namespace brumo::pipe_test {
namespace {

using namespace ::brumo::test_support;
namespace t2p = tun2proxy_standin;
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

TEST_F(PipeServerStopTest, StopWhileServingASilentClient) {
  ASSERT_TRUE(server_.Start());
  ScopedFileHandle silent = OpenWithin(std::chrono::seconds(10));
  ASSERT_TRUE(silent);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_LT(TimedStop(server_), kStopBound);
  const ReadResult seen = ReadUntilEnd(silent.get());
  EXPECT_TRUE(seen.bytes.empty());
  EXPECT_TRUE(IsDisconnect(seen.end_error)) << seen.end_error;
  silent.reset();
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

// A command under way is finished and its reply delivered before the thread ends: a start
// takes the controller's launch check (half a second) after tun2proxy's run call.
TEST_F(PipeServerStopTest, StopWhileAStartIsProcessedLetsTheClientHaveItsReply) {
  ASSERT_TRUE(server_.Start());
  auto client = std::async(std::launch::async, [] { return RoundTrip(kStartRequest); });
  ASSERT_TRUE(t2p::WaitForRunsInside(1, std::chrono::seconds(10)));
  EXPECT_LT(TimedStop(server_), kStopBound + kLaunchCheckDelay);
  const Exchange exchange = client.get();
  EXPECT_EQ(exchange.reply.bytes, kStartedReply);
  EXPECT_TRUE(IsDisconnect(exchange.reply.end_error));
  EXPECT_TRUE(controller_.IsRunning());
}

// A client that is already being served when the stop comes: one whose request was read
// before it is answered, and may take its reply a little late; one that sends its request
// after it is dropped unanswered. Stop waits for either within the bound.
TEST_F(PipeServerStopTest, StopWhileAClientIsServedAnswersOnlyARequestReadBefore) {
  struct Case {
    const char* name;
    milliseconds write_after;  // after the stop was issued; negative: before it
    milliseconds read_after;   // after the write
    std::string_view reply;
  };
  const Case cases[] = {
      {"request sent after the stop", milliseconds(150), milliseconds(0), ""},
      {"reply taken late", milliseconds(-1), milliseconds(200), kInactiveReply},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(server_.Start());
    ScopedFileHandle pipe = OpenWithin(std::chrono::seconds(10));
    ASSERT_TRUE(pipe);
    if (c.write_after < milliseconds(0)) {
      ASSERT_TRUE(WriteBytes(pipe.get(), kActiveRequest));
    }
    // Past the thread's test of stop_requested_ that follows the connect.
    std::this_thread::sleep_for(milliseconds(100));
    auto stopped = std::async(std::launch::async, [this] { return TimedStop(server_); });
    if (c.write_after >= milliseconds(0)) {
      std::this_thread::sleep_for(c.write_after);
      WriteBytes(pipe.get(), kActiveRequest);  // fails once the server has dropped us
    }
    std::this_thread::sleep_for(c.read_after);
    const ReadResult reply = ReadUntilEnd(pipe.get());
    EXPECT_EQ(reply.bytes, c.reply);
    EXPECT_TRUE(IsDisconnect(reply.end_error)) << reply.end_error;
    EXPECT_LT(stopped.get(), kStopBound);
    pipe.reset();
    ExpectNoInstance();
  }
}

TEST_F(PipeServerStopTest, StartAfterStopServesAgain) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(server_.Start());
    EXPECT_EQ(RoundTrip(kActiveRequest).reply.bytes, kInactiveReply);
    EXPECT_LT(TimedStop(server_), kStopBound);
    ExpectNoInstance();
  }
}

// Stop on the caller's thread; the case's time-out catches a stop that is lost.
milliseconds StopWithin(ControlPipeServer& server) { return TimedStop(server); }

// Stops at random moments while a client does one of the things clients do. Half the
// rounds stop within a millisecond after an exchange has ended, while the thread
// disconnects its client, tests stop_requested_ and listens again. The seed is printed so a
// failure can be replayed.
TEST_F(PipeServerStopTest, StopAtRandomMomentsIsNeverLost) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  enum Client { kNone, kRoundTrip, kSilent, kNeverReads, kClosesAtOnce, kClientKinds };
  std::uniform_int_distribution<int> pick_client(0, kClientKinds - 1);
  std::uniform_int_distribution<int> pick_delay_ms(0, 25);
  std::uniform_int_distribution<int> pick_delay_us(0, 1000);

  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(server_.Start());
    milliseconds took{0};
    int kind = kRoundTrip;
    if (round % 2 == 0) {
      ASSERT_EQ(RoundTrip(kActiveRequest).reply.bytes, kInactiveReply);
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::microseconds(pick_delay_us(random));
      while (std::chrono::steady_clock::now() < until) {
      }
      took = StopWithin(server_);
    } else {
      kind = pick_client(random);
      std::thread client([kind] {
        if (kind == kNone) return;
        ScopedFileHandle pipe = OpenWithin(milliseconds(30));
        if (!pipe) return;
        if (kind == kRoundTrip || kind == kNeverReads) WriteBytes(pipe.get(), kActiveRequest);
        if (kind == kNeverReads) std::this_thread::sleep_for(milliseconds(40));
        if (kind != kClosesAtOnce) ReadUntilEnd(pipe.get());
      });
      std::this_thread::sleep_for(milliseconds(pick_delay_ms(random)));
      took = StopWithin(server_);
      client.join();
    }
    ASSERT_LT(took, kStopBound) << "client kind " << kind;
    ExpectNoInstance();
  }
}

}  // namespace
}  // namespace brumo::pipe_test
