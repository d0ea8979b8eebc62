// Control of the DnsLeakGuard stand-in (fake_dns_guard.cpp), which defines the guard's
// members for tests of its callers. It records Enable and Disable calls, returns a
// configurable Enable result after a configurable delay, and counts how many threads are
// inside the guard at once: the real guard is not thread-safe, so a caller that lets that
// count exceed 1 is broken.
//
// State is process-wide (shared by every DnsLeakGuard object). All functions are
// thread-safe. Reset between tests, when no thread is inside the guard.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tunnel/op_result.h"

namespace brumo::fake_dns_guard {

// Enable succeeds at once, no hooks, counts and records cleared.
void Reset();

void SetEnableResult(OpResult result);
void SetEnableDelay(std::chrono::milliseconds delay);
// Run inside Enable (after the delay) and inside Disable, on the caller's thread. Tests
// use them to hold a caller in the guard or to look around while it is there.
void SetEnableHook(std::function<void()> hook);
void SetDisableHook(std::function<void()> hook);

int EnableCalls();
int DisableCalls();
// Aliases passed to Enable, in order.
std::vector<std::string> EnableAliases();
// "enable" and "disable", in the order the calls were entered.
std::vector<std::string> CallOrder();
// True between a successful Enable and the next Disable.
bool IsEnabled();
// Highest number of threads seen inside Enable, Disable and the destructor at once.
int MaxThreadsInside();

// Waits until Enable has been entered `count` times in all; false on timeout.
bool WaitForEnableCalls(int count, std::chrono::milliseconds timeout);
// Waits until Disable has been entered `count` times in all; false on timeout.
bool WaitForDisableCalls(int count, std::chrono::milliseconds timeout);

}  // namespace brumo::fake_dns_guard
