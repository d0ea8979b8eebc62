// What the tunnel controller relies on in tun2proxy's calls, as one table of scenarios with
// one expected transcript each, played against two backends built from this one source:
// the tun2proxy stand-in, with its device kept in the interface stand-in, and (built with
// BRUMO_T2P_REAL) the real library on Linux, as root in a network namespace of the test's
// own, where its device is a Linux TUN device found by a Linux lookup. Every run call has
// the controller's arguments.
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dnsguard/interface_lookup.h"
#include "tests/support/test_support.h"
#include "tests/tunnel/controller_run_call.h"
#include "tunnel/tun2proxy.h"
#include "tunnel/tunnel_controller.h"

#if defined(BRUMO_T2P_REAL)
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/real_tun2proxy/net_client.h"
#else
#include "tests/standins/standins.h"
#endif

namespace brumo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous bound for a call that should return promptly; only hit when it does not.
constexpr std::chrono::seconds kBound{10};
const std::string kDevice(kTunnelDeviceName);

#if defined(BRUMO_T2P_REAL)

void Shell(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
// The links made here must never reach the host's own network: a namespace just made
// holds its loopback device and nothing else.
void SetUpBackend() {
  ASSERT_EQ(geteuid(), 0u) << "the real library's TUN device needs root";
  std::vector<std::string> names;
  if (struct if_nameindex* const all = if_nameindex()) {
    for (const struct if_nameindex* it = all; it->if_index != 0; ++it)
      names.emplace_back(it->if_name);
    if_freenameindex(all);
  }
  ASSERT_EQ(names, std::vector<std::string>{"lo"})
      << "not in a network namespace of its own (run it through in-netns)";
}
// A link that is no TUN device takes the device's name first (a bridge: this kernel may
// have no dummy links).
void TakeDeviceName() { Shell("ip link add " + kDevice + " type bridge"); }
void RemoveLink() { Shell("ip link del " + kDevice); }

// The library ends the tunnel by itself when a write to its device fails: a session goes
// through the tunnel (to a proxy that takes the connection and answers nothing), the device
// is deleted, then the proxy closes its side, and the library's stack answers that on the
// deleted device. The library leaves the device down and without an address: the test
// brings it up and routes a test range through it.
void EndTunnelFromOutside() {
  Shell("ip addr add 10.0.0.33/24 dev " + kDevice + " && ip link set " + kDevice +
        " up && ip route add 192.0.2.0/24 dev " + kDevice);
  std::string error;
  const ScopedFd proxy = real_net::ListenTcp({"127.0.0.1", kProxyPort}, error);
  ASSERT_TRUE(proxy) << error;
  const ScopedFd client = real_net::ConnectTcp({"192.0.2.80", 80}, error);
  ASSERT_TRUE(client) << error;
  // The accept waits at most the listener's receive timeout, real_net::kIoTimeout.
  const ScopedFd session(accept(proxy.get(), nullptr, nullptr));
  ASSERT_GE(session.get(), 0);
  RemoveLink();
}  // the session is closed first
void EndLeftoverRuns() { tun2proxy_stop(); }

#else

void SetUpBackend() {
  standins::ResetStandIns(/*virtual_clock=*/false);
  standins::ModelTunnelDevice();
}
void TakeDeviceName() { interfaces_standin::SetInterface(kDevice, standins::kTunnelIndex + 1); }
void RemoveLink() { interfaces_standin::RemoveInterface(kDevice); }
void EndTunnelFromOutside() { tun2proxy_standin::EndRunsByThemselves(); }
void EndLeftoverRuns() {
  tun2proxy_stop();
  tun2proxy_standin::EndRunsByThemselves();
}

#endif

bool DevicePresent() { return ResolveTunnelInterface(kDevice).ok; }

enum class Act {
  // A run call on a thread of its own; waits until its device is there ("running") or the
  // call has returned ("run=<result>").
  kRun,
  // A run call; waits for it to return ("run=<result>", or "running" past the bound).
  kRunToEnd,
  kStop,  // "stop=<result>"
  // Waits for the oldest run call still inside to return: "run=<result>", or "running" past
  // the bound.
  kAwaitRun,
  kProbe,  // "device" or "no device", through the interface lookup
  kTakeDeviceName,
  kFreeDeviceName,
  kDeleteDevice,  // deletes the run's device from outside the library
  kEndTunnelFromOutside,
};

struct Row {
  const char* name;
  std::vector<Act> acts;
  const char* expected;
};

bool Ready(std::future<int>& call, milliseconds timeout) {
  return call.wait_for(timeout) == std::future_status::ready;
}

// Every run call made, each on a detached thread of its own whose last act is to give its
// result; at the end, whatever is left inside is ended.
class Runs {
 public:
  ~Runs() {
    const auto deadline = Clock::now() + kBound;
    while (!inside_.empty() && Clock::now() < deadline) {
      EndLeftoverRuns();
      if (Ready(inside_.front(), milliseconds(100))) inside_.pop_front();
    }
    EXPECT_TRUE(inside_.empty()) << "a run call did not return at the end";
  }

  std::future<int>& Start() {
    std::promise<int> returned;
    inside_.push_back(returned.get_future());
    std::thread([returned = std::move(returned)]() mutable {
      returned.set_value(test_support::RunWithTheControllersArguments());
    }).detach();
    return inside_.back();
  }
  // "run=<result>" once `call` has returned within `timeout` (it is then no longer inside),
  // else "running".
  std::string Await(std::future<int>& call, milliseconds timeout) {
    if (!Ready(call, timeout)) return "running";
    const std::string text = "run=" + std::to_string(call.get());
    std::erase_if(inside_, [&](const std::future<int>& it) { return &it == &call; });
    return text;
  }
  std::string AwaitOldest() {
    return inside_.empty() ? "no run inside" : Await(inside_.front(), kBound);
  }

 private:
  std::deque<std::future<int>> inside_;
};

// Plays the acts and returns what each showed, joined by ", ".
std::string Play(const std::vector<Act>& acts) {
  Runs runs;
  std::vector<std::string> shown;
  for (const Act act : acts) {
    switch (act) {
      case Act::kRun: {
        std::future<int>& call = runs.Start();
        test_support::WaitUntil([&] { return DevicePresent() || Ready(call, milliseconds(0)); },
                                kBound);
        shown.push_back(runs.Await(call, milliseconds(0)));
        break;
      }
      case Act::kRunToEnd:
        shown.push_back(runs.Await(runs.Start(), kBound));
        break;
      case Act::kStop:
        shown.push_back("stop=" + std::to_string(tun2proxy_stop()));
        break;
      case Act::kAwaitRun:
        shown.push_back(runs.AwaitOldest());
        break;
      case Act::kProbe:
        shown.push_back(DevicePresent() ? "device" : "no device");
        break;
      case Act::kTakeDeviceName:
        TakeDeviceName();
        break;
      case Act::kFreeDeviceName:
      case Act::kDeleteDevice:  // either way, the link of the device's name goes
        RemoveLink();
        break;
      case Act::kEndTunnelFromOutside:
        EndTunnelFromOutside();
        break;
    }
  }
  return fmt::format("{}", fmt::join(shown, ", "));
}

using enum Act;

// tun2proxy_with_name_run: -1 while a run is registered, -4 when its device cannot be made
// or its tunnel ends by itself, 0 after a stop; tun2proxy_stop: 0 when it cancelled a registered
// run, else -1. The registration goes with the stop, or with the run's end. A run whose device is
// deleted under it carries on until a stop.
const Row kRows[] = {
    {"StopWithNothingRegistered", {kStop}, "stop=-1"},
    {"RunThenStop", {kRun, kStop, kAwaitRun, kStop}, "running, stop=0, run=0, stop=-1"},
    {"SecondRunWhileOneRuns",
     {kRun, kRunToEnd, kStop, kAwaitRun},
     "running, run=-1, stop=0, run=0"},
    {"RunAgainAfterAStop",
     {kRun, kStop, kAwaitRun, kRun, kStop, kAwaitRun},
     "running, stop=0, run=0, running, stop=0, run=0"},
    {"DeviceOnlyWhileTheRunRuns",
     {kProbe, kRun, kProbe, kStop, kAwaitRun, kProbe},
     "no device, running, device, stop=0, run=0, no device"},
    {"DeviceCannotBeMade",
     {kTakeDeviceName, kRunToEnd, kStop, kFreeDeviceName, kRun, kStop, kAwaitRun},
     "run=-4, stop=-1, running, stop=0, run=0"},
    {"DeviceDeletedUnderTheRun",
     {kRun, kDeleteDevice, kProbe, kStop, kAwaitRun},
     "running, no device, stop=0, run=0"},
    {"TunnelEndsByItself",
     {kRun, kEndTunnelFromOutside, kAwaitRun, kProbe, kStop},
     "running, run=-4, no device, stop=-1"},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class Tun2proxyConformanceTest : public ::testing::TestWithParam<Row> {};

TEST_P(Tun2proxyConformanceTest, Row) {
  SetUpBackend();
  if (HasFatalFailure()) return;
  EXPECT_EQ(Play(GetParam().acts), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, Tun2proxyConformanceTest, ::testing::ValuesIn(kRows),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace brumo
