// Creation of the tunnel worker thread, kept behind a free function so that a test can
// make it fail. The product links tunnel/thread_launch.cpp (target brumo_thread_launch);
// tests may link the stand-in under tests/fakes/thread_launch instead.
#pragma once

#include <functional>
#include <thread>

namespace brumo {

// Starts a thread running `body` and hands it to the caller, who must join it. Throws
// std::system_error when the thread cannot be created, as std::thread's constructor does.
// Safe to call from any thread.
std::thread LaunchThread(std::function<void()> body);

}  // namespace brumo
