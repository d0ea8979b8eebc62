// One request and one reply per connection over the real pipe: what a client sees for
// well-formed, malformed, oversized and split requests, for clients that give up, and for
// a second client while the first is served.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "tests/control/pipe/pipe_server_fixture.h"
#include "tests/support/pipe_client.h"

namespace brumo::pipe_test {
namespace {

using namespace ::brumo::test_support;
namespace t2p = tun2proxy_standin;

using PipeExchangeTest = RunningPipeServerTest;

TEST_F(PipeExchangeTest, EachConnectionCarriesOneRequestAndItsWholeReply) {
  struct Case {
    std::string_view request;
    std::string_view reply;
  };
  // In order: the controller keeps its running state between cases.
  const Case cases[] = {
      {kActiveRequest, kInactiveReply},
      {kStartRequest, kStartedReply},
      {kActiveRequest, kActiveReply},
      {R"({"command":"start"})", R"({"message":"VPN already running","status":"error"})"},
      {"{\"command\":\"stop\"}\r\n", R"({"message":"VPN stopped successfully","status":"ok"})"},
      {R"({"command":"Start"})", R"({"message":"Unknown command: Start","status":"error"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const Exchange exchange = RoundTrip(c.request);
    EXPECT_TRUE(exchange.Complete()) << exchange.open_error << " " << exchange.reply.end_error;
    EXPECT_EQ(exchange.reply.bytes, c.reply);
  }
  EXPECT_EQ(t2p::Recorded().run_calls, 1) << "the second start is refused before tun2proxy";
  EXPECT_EQ(t2p::Recorded().runs_inside, 0) << "the stop ended the run";
}

// The reply is larger than the pipe's 64 KiB buffer and the client starts reading late,
// in small pieces: the write waits for it, and the flush keeps the disconnect from
// discarding the tail.
TEST_F(PipeExchangeTest, ReplyLargerThanThePipeBufferArrivesWholeForASlowReader) {
  const std::string command(65521, 'x');
  const std::string request = R"({"command":")" + command + R"("})";
  ASSERT_EQ(request.size(), kPipeBufferSize - 1);
  const std::string expected =
      R"({"message":"Unknown command: )" + command + R"(","status":"error"})";
  ASSERT_GT(expected.size(), kPipeBufferSize);

  ScopedFileHandle pipe = OpenWithin(std::chrono::seconds(10));
  ASSERT_TRUE(pipe);
  ASSERT_TRUE(WriteBytes(pipe.get(), request));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const ReadResult reply = ReadUntilEnd(pipe.get(), 1000);
  EXPECT_EQ(reply.bytes.size(), expected.size());
  EXPECT_TRUE(reply.bytes == expected);
  EXPECT_TRUE(IsDisconnect(reply.end_error)) << reply.end_error;
}

TEST_F(PipeExchangeTest, ClientThatClosesWithoutWritingGetsNothingAndNextIsServed) {
  for (int round = 0; round < 3; ++round) ASSERT_TRUE(OpenWithin(std::chrono::seconds(10)));
  const Exchange next = RoundTrip(kActiveRequest);
  EXPECT_EQ(next.reply.bytes, kInactiveReply);
  EXPECT_TRUE(next.Complete());
}

// Each connection is answered for what its single read returns, and the next client is
// served. A second request is never read; an oversized one is answered for its first 65535
// bytes and the rest goes with the disconnect; a client that waits before sending the rest of
// its request has its reply (a parse error) at once and cannot send the rest, so the start it
// spelt out never happens.
TEST_F(PipeExchangeTest, EachConnectionIsAnsweredForItsOneRead) {
  std::string oversized = R"({"command":")";
  oversized.resize(70000, 'a');
  const std::string_view piece = R"({"command":)";
  const struct {
    const char* name;
    std::string first, then, reply;
  } cases[] = {
      {"second request", std::string(kActiveRequest), std::string(kStartRequest),
       std::string(kInactiveReply)},
      {"oversized", oversized, std::string(kStartRequest),
       ExpectedReply(std::string_view(oversized).substr(0, 65535))},
      {"in two pieces", std::string(piece), R"("start"})", ExpectedReply(piece)},
  };
  ASSERT_EQ(
      cases[1].reply.rfind(R"({"message":"JSON parse error: [json.exception.parse_error.)", 0), 0u)
      << cases[1].reply;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedFileHandle pipe = OpenWithin(std::chrono::seconds(10));
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(WriteBytes(pipe.get(), c.first));
    EXPECT_EQ(ReadUntilEnd(pipe.get()).bytes, c.reply);
    EXPECT_FALSE(WriteBytes(pipe.get(), c.then));
    pipe.reset();
    EXPECT_EQ(RoundTrip(kActiveRequest).reply.bytes, kInactiveReply);
  }
  EXPECT_EQ(t2p::Recorded().run_calls, 0);
}

TEST_F(PipeExchangeTest, ClientOpeningWhileAnotherIsServedGetsPipeBusy) {
  ScopedFileHandle first = OpenWithin(std::chrono::seconds(10));
  ASSERT_TRUE(first);
  DWORD error = 0;
  ScopedFileHandle second = OpenOnce(&error);
  EXPECT_FALSE(second);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY));

  // The first client is served as usual, and the next one after it.
  ASSERT_TRUE(WriteBytes(first.get(), kActiveRequest));
  EXPECT_EQ(ReadUntilEnd(first.get()).bytes, kInactiveReply);
  EXPECT_EQ(RoundTrip(kActiveRequest).reply.bytes, kInactiveReply);
}

// What a client can query of the instance: a byte pipe of one instance with 64 KiB buffers.
TEST_F(PipeExchangeTest, InstanceIsOneBytePipeWith64KiBBuffers) {
  ScopedFileHandle pipe = OpenWithin(std::chrono::seconds(10));
  ASSERT_TRUE(pipe);
  DWORD flags = 0, out_size = 0, in_size = 0, instances = 0;
  ASSERT_TRUE(::GetNamedPipeInfo(pipe.get(), &flags, &out_size, &in_size, &instances));
  EXPECT_EQ(flags & PIPE_TYPE_MESSAGE, 0u);
  EXPECT_EQ(out_size, kPipeBufferSize);
  EXPECT_EQ(in_size, kPipeBufferSize);
  EXPECT_EQ(instances, 1u);
}

// A command that throws (the tunnel's worker thread cannot be created) is answered with
// an error, and the thread goes on serving.
TEST_F(PipeExchangeTest, CommandThatThrowsIsAnsweredAndNextIsServed) {
  platform_standin::FailNextLaunch();
  const Exchange thrown = RoundTrip(kStartRequest);
  EXPECT_NE(thrown.reply.bytes.find(R"("status":"error")"), std::string::npos)
      << thrown.reply.bytes;
  EXPECT_TRUE(IsDisconnect(thrown.reply.end_error));
  EXPECT_EQ(RoundTrip(kActiveRequest).reply.bytes, kInactiveReply);
  EXPECT_EQ(RoundTrip(kStartRequest).reply.bytes, kStartedReply);
}

// Clients that hold the only instance without finishing their side are dropped after
// kClientTimeout, and the client waiting behind them is served.
using PipeClientTimeoutTest = RunningPipeServerTest;

constexpr std::chrono::milliseconds kWaitBehind = kClientTimeout + std::chrono::seconds(10);

TEST_F(PipeClientTimeoutTest, SilentClientIsDroppedAndNextIsServed) {
  ScopedFileHandle silent = OpenWithin(std::chrono::seconds(10));
  ASSERT_TRUE(silent);
  const auto connected = std::chrono::steady_clock::now();
  auto behind =
      std::async(std::launch::async, [] { return RoundTrip(kActiveRequest, kWaitBehind); });

  const ReadResult dropped = ReadUntilEnd(silent.get());
  const auto held = std::chrono::steady_clock::now() - connected;
  EXPECT_TRUE(dropped.bytes.empty());
  EXPECT_TRUE(IsDisconnect(dropped.end_error)) << dropped.end_error;
  // Not dropped long before its time, nor kept far beyond it.
  EXPECT_GT(held, kClientTimeout / 2);
  EXPECT_LT(held, kWaitBehind);

  EXPECT_EQ(behind.get().reply.bytes, kInactiveReply);
}

// The reply sits in the pipe unread; the flush that waits for it is given up and the
// disconnect discards it.
TEST_F(PipeClientTimeoutTest, ClientThatNeverReadsItsReplyIsDroppedAndNextIsServed) {
  ScopedFileHandle lazy = OpenWithin(std::chrono::seconds(10));
  ASSERT_TRUE(lazy);
  ASSERT_TRUE(WriteBytes(lazy.get(), kActiveRequest));

  EXPECT_EQ(RoundTrip(kActiveRequest, kWaitBehind).reply.bytes, kInactiveReply);

  const ReadResult late = ReadUntilEnd(lazy.get());
  EXPECT_TRUE(late.bytes.empty());
  EXPECT_TRUE(IsDisconnect(late.end_error)) << late.end_error;
}

}  // namespace
}  // namespace brumo::pipe_test
