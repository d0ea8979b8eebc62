// Thread creation and the monotonic clock, the two platform services every subsystem
// uses, with the timed waits on them. The product links platform_thread.cpp (target
// brumo_platform); tests link a stand-in from tests/standins/platform that can fail a
// creation or run a virtual clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <thread>

namespace brumo {

// Starts a thread running `body` and hands it to the caller, who must join it. Throws
// std::system_error when the thread cannot be created, as std::thread's constructor does.
// Any thread.
std::thread LaunchThread(std::function<void()> body);

// Reading of a monotonic clock in nanoseconds; never goes back, unaffected by changes of
// the wall-clock time. Any thread.
std::int64_t MonotonicNowNs();

// Pauses the calling thread for at least `duration`.
void SleepFor(std::chrono::milliseconds duration);

// Waits until `done` is ready or `timeout` has passed, and returns as soon as either
// happens; true when it is ready.
bool WaitForReady(const std::future<void>& done, std::chrono::milliseconds timeout);

}  // namespace brumo
