// Control of the thread and clock stand-in (platform_standin.cpp), which defines
// common/platform_thread.h for tests. LaunchThread creates real threads, but can fail the
// next creation as std::thread does when the system is out of threads, or run the next
// body to its end before it returns. The clock is real by default; a test may switch it
// to a virtual one, in which SleepFor returns at once after moving the clock on by the
// duration asked for, so that waits of the product (the launch check, the wait for the
// tunnel interface) cost no real time, and WaitForReady sees an end that comes within
// kVirtualWaitLimit of real time as within its time-out, whatever the machine's load.
//
// State is process-wide. All functions are thread-safe. Reset between tests.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

namespace brumo::platform_standin {

// Real clock, no failure armed, no hook, nothing recorded.
void Reset();

// The next LaunchThread throws std::system_error with
// std::errc::resource_unavailable_try_again and creates nothing.
void FailNextLaunch();
// The next LaunchThread runs its body to the end before it returns the (ending) thread.
void RunNextLaunchToEnd();
// Calls of LaunchThread since Reset, failed ones included.
int LaunchCalls();

// On the virtual clock, the real time WaitForReady gives its future before it times out.
inline constexpr std::chrono::seconds kVirtualWaitLimit{10};

// Switches MonotonicNowNs and SleepFor to the virtual clock (true) or the real one.
void UseVirtualClock(bool on);
// Every SleepFor since Reset, in order, whichever clock; the time-out of every
// WaitForReady likewise.
std::vector<std::chrono::milliseconds> Sleeps();
std::vector<std::chrono::milliseconds> Waits();
// Runs at the start of every SleepFor with its duration, on the caller's thread: on the
// virtual clock, it stands for what other threads do while the pause lasts.
void SetSleepHook(std::function<void(std::chrono::milliseconds)> hook);

}  // namespace brumo::platform_standin
