// Control of the LaunchThread stand-in (fake_thread_launch.cpp): it creates real threads,
// except that it can be told to fail the next creation the way std::thread does when the
// system is out of threads. Link it instead of brumo_thread_launch. Thread-safe.
#pragma once

namespace brumo::fake_thread_launch {

// The next LaunchThread throws std::system_error with
// std::errc::resource_unavailable_try_again and creates nothing.
void FailNextLaunch();
// Calls of LaunchThread so far, failed ones included.
int LaunchCalls();
void Reset();

}  // namespace brumo::fake_thread_launch
