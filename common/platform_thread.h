// Thread creation and the monotonic clock, the two platform services every subsystem
// uses. The product links platform_thread.cpp (target brumo_platform); tests link a
// stand-in from tests/standins/platform that can fail a creation or run a virtual clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
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

}  // namespace brumo
