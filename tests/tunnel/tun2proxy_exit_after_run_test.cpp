// tun2proxy 0.7.18 and later end the whole process about 2 s after a run call returns, from
// a thread that the run call leaves behind; the package refuses those versions for it.
// Shown on the real 0.7.18: a child process runs it and stops it, then waits far longer
// than that, and the library ends the child first, with exit(-1).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "dnsguard/interface_lookup.h"
#include "tunnel/tun2proxy.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Far longer than the library's wait; the child ends by itself after it, with 0.
constexpr auto kChildLingers = 30s;
constexpr auto kBound = 10s;

// The child: one run call, stopped once its device is there; then writes "run=<r> stop=<s>"
// to `report` and lingers.
int RunStopAndLinger(int report) {
  int run_result = 1;
  std::thread run([&] {
    const std::string proxy_url = "socks5://127.0.0.1:" + std::to_string(kProxyPort);
    run_result =
        tun2proxy_with_name_run(proxy_url.c_str(), kTunnelDeviceName.data(), kBypassCidr.data(),
                                TUN2PROXY_DNS_DIRECT, false, TUN2PROXY_VERBOSITY_OFF);
  });
  const auto deadline = Clock::now() + kBound;
  while (!ResolveTunnelInterface(kTunnelDeviceName).ok && Clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  const int stop_result = tun2proxy_stop();
  run.join();
  const std::string line =
      "run=" + std::to_string(run_result) + " stop=" + std::to_string(stop_result);
  if (write(report, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 2;
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
  close(fds[1]);

  pollfd readable{fds[0], POLLIN, 0};
  ASSERT_EQ(poll(&readable, 1, std::chrono::milliseconds(kBound).count()), 1);
  char report[64] = {};
  const ssize_t length = read(fds[0], report, sizeof report - 1);
  const auto returned_at = Clock::now();
  close(fds[0]);
  EXPECT_EQ(std::string(report, length > 0 ? length : 0), "run=0 stop=0");

  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < returned_at + kBound) {
    std::this_thread::sleep_for(10ms);
  }
  const auto after =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - returned_at);
  if (ended == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_EQ(ended, child) << "the child still ran " << after.count()
                          << " ms after its run returned";
  std::printf("the child ended %lld ms after its run call returned\n",
              static_cast<long long>(after.count()));
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 255) << "not the library's exit(-1)";
  // The library's thread sleeps 2 s from just before the run returns.
  EXPECT_GE(after, 1500ms);
}

}  // namespace
}  // namespace brumo
