// tun2proxy 0.7.18 and later end the whole process about 2 s after a run call returns, from
// a thread that the run call leaves behind; the package refuses those versions for it.
// Shown on the real 0.7.18: a child process runs it and stops it, then waits far longer
// than that, and the library ends the child first, with exit(-1).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/scope_exit.h"
#include "dnsguard/interface_lookup.h"
#include "tests/support/test_support.h"
#include "tests/tunnel/controller_run_call.h"
#include "tunnel/tun2proxy.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Far longer than the library's wait; the child ends by itself after it, with 0.
constexpr auto kChildLingers = 30s;
constexpr auto kBound = 10s;

// What the child writes to its parent once its run call has returned.
struct Report {
  int run = 1;
  int stop = 1;
  // On the steady clock (CLOCK_MONOTONIC, the same clock in every process).
  Clock::duration returned_at{};
};

// The child: one run call, stopped once its device is there; then reports and lingers.
int RunStopAndLinger(int report_fd) {
  Report report;
  std::thread run([&] { report.run = test_support::RunWithTheControllersArguments(); });
  test_support::WaitUntil([] { return ResolveTunnelInterface(kTunnelDeviceName).ok; }, kBound);
  report.stop = tun2proxy_stop();
  run.join();
  report.returned_at = Clock::now().time_since_epoch();
  if (write(report_fd, &report, sizeof report) != static_cast<ssize_t>(sizeof report)) return 2;
  std::this_thread::sleep_for(kChildLingers);
  return 0;
}

TEST(Tun2proxyExitAfterRunTest, ProcessEndsAboutTwoSecondsAfterItsRunReturns) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    _exit(RunStopAndLinger(fds[1]));
  }
  // Killed and reaped when the test leaves before it ended.
  ScopeExit reap([child] {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  });
  close(fds[1]);

  pollfd readable{fds[0], POLLIN, 0};
  const int ready = poll(&readable, 1, std::chrono::milliseconds(kBound).count());
  Report report;
  const ssize_t length = ready == 1 ? read(fds[0], &report, sizeof report) : 0;
  close(fds[0]);
  ASSERT_EQ(ready, 1) << "no report from the child";
  ASSERT_EQ(length, static_cast<ssize_t>(sizeof report));
  EXPECT_EQ(report.run, 0);
  EXPECT_EQ(report.stop, 0);
  const Clock::time_point returned_at{report.returned_at};

  int status = 0;
  pid_t ended = 0;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(returned_at + kBound - Clock::now());
  test_support::WaitUntil([&] { return (ended = waitpid(child, &status, WNOHANG)) != 0; }, left);
  const auto after =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - returned_at);
  ASSERT_EQ(ended, child) << "the child still ran " << after.count()
                          << " ms after its run returned";
  reap.Dismiss();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 255) << "not the library's exit(-1)";
  // The library's thread sleeps 2 s from just before the run returns; half of that tells
  // its end from one at the run's return, with room for a slow machine's scheduling.
  EXPECT_GE(after, 1s);
}

}  // namespace
}  // namespace brumo
