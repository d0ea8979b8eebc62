// Stop over the real pipe: it is never lost and returns within the bound wherever the
// server thread is and whatever its client does.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>

#include "control/pipe_server_platform.h"
#include "tests/pipe/pipe_server_fixture.h"
#include "tests/pipe/pipe_test_client.h"

namespace brumo::pipe_test {
namespace {

namespace fc = fake_controller;
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
  EXPECT_EQ(fc::GetCalls().get_status, 1);
  const ReadResult seen = ReadUntilEnd(lazy.get());
  EXPECT_TRUE(seen.bytes.empty());
  EXPECT_TRUE(IsDisconnect(seen.end_error)) << seen.end_error;
  lazy.reset();
  ExpectNoInstance();
}

// A command under way is finished and its reply delivered before the thread ends.
TEST_F(PipeServerStopTest, StopWhileACommandIsProcessedLetsTheClientHaveItsReply) {
  fc::Behaviour behaviour;
  behaviour.start_delay = milliseconds(600);
  fc::SetBehaviour(behaviour);
  ASSERT_TRUE(server_.Start());
  auto client = std::async(std::launch::async, [] { return RoundTrip(R"({"command":"start"})"); });
  while (fc::GetCalls().start == 0) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_LT(TimedStop(server_), kStopBound + behaviour.start_delay);
  const Exchange exchange = client.get();
  EXPECT_EQ(exchange.reply.bytes, R"({"message":"VPN started successfully","status":"ok"})");
  EXPECT_TRUE(IsDisconnect(exchange.reply.end_error));
}

// A client that is already being served when the stop comes, and sends its request or
// takes its reply a little late, is still answered; Stop waits for it within the bound.
TEST_F(PipeServerStopTest, StopWhileAClientIsServedLetsALiveClientFinish) {
  struct Case {
    const char* name;
    milliseconds write_after;  // after the stop was issued; negative: before it
    milliseconds read_after;   // after the write
  };
  const Case cases[] = {
      {"request sent after the stop", milliseconds(150), milliseconds(0)},
      {"reply taken late", milliseconds(-1), milliseconds(200)},
      {"both late", milliseconds(100), milliseconds(100)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fc::Reset();
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
      ASSERT_TRUE(WriteBytes(pipe.get(), kActiveRequest));
    }
    std::this_thread::sleep_for(c.read_after);
    const ReadResult reply = ReadUntilEnd(pipe.get());
    EXPECT_EQ(reply.bytes, kInactiveReply);
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

// pipe_name_holder.exe (beside this program) keeps \\.\pipe\BrumoVPN from a process of
// its own until Release closes its standard input.
class NameHolder {
 public:
  NameHolder() = default;
  ~NameHolder() { Release(); }
  NameHolder(const NameHolder&) = delete;
  NameHolder& operator=(const NameHolder&) = delete;

  // True once the holder has created its instance.
  bool Start() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return false;
    std::wstring holder(path, length);
    holder.replace(holder.find_last_of(L"\\/") + 1, std::wstring::npos, L"pipe_name_holder.exe");

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
    std::wstring command_line = L"\"" + holder + L"\"";
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
  ScopedHandle stdin_, stdout_, process_;
};

// While another process holds the name every create fails: the thread retries once a
// second, a stop ends the wait, and once the name is free the server serves.
TEST_F(PipeServerStopTest, NameHeldByAnotherProcessIsRetriedUntilFreeOrStopped) {
  NameHolder holder;
  ASSERT_TRUE(holder.Start());

  ASSERT_TRUE(server_.Start());
  std::this_thread::sleep_for(kCreateRetryDelay * 2 + milliseconds(500));
  EXPECT_LT(TimedStop(server_), kStopBound);

  ASSERT_TRUE(server_.Start());
  std::this_thread::sleep_for(kCreateRetryDelay + milliseconds(500));
  holder.Release();
  const Exchange exchange = RoundTrip(kActiveRequest, milliseconds(kCreateRetryDelay * 5));
  EXPECT_EQ(exchange.reply.bytes, kInactiveReply);
  EXPECT_LT(TimedStop(server_), kStopBound);
}

// Stop on a thread of its own, so that a lost stop fails the test instead of hanging it:
// past the bound, real clients are sent until the server thread ends.
milliseconds StopOrRescue(ControlPipeServer& server) {
  const auto start = std::chrono::steady_clock::now();
  auto stopped = std::async(std::launch::async, [&server] { server.Stop(); });
  if (stopped.wait_for(kStopBound * 2) != std::future_status::ready) {
    ADD_FAILURE() << "stop lost: the server thread still runs";
    while (stopped.wait_for(milliseconds(10)) != std::future_status::ready) {
      OpenWithin(milliseconds(10));
    }
  }
  stopped.get();
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
}

// Stops at random moments while a client does one of the things clients do. Half the
// rounds stop within a millisecond after an exchange has ended, while the thread closes
// its instance, tests stop_requested_ and creates the next one. The seed is printed so a
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
      took = StopOrRescue(server_);
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
      took = StopOrRescue(server_);
      client.join();
    }
    ASSERT_LT(took, kStopBound) << "client kind " << kind;
    ExpectNoInstance();
  }
}

}  // namespace
}  // namespace brumo::pipe_test
