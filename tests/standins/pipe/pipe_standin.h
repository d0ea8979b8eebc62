// Control of the named-pipe stand-in (pipe_standin.cpp), for hosts without named pipes and
// for tests that want none: it defines control/pipe_platform.h so that the pipe server's
// thread runs its loop. By default no client ever connects: the instance is always
// created, a wait that watches the stop returns kStopped once SignalStop was called, and
// every read, write and reply wait fails.
//
// A test may script clients and failures instead. A scripted client connects at once,
// sends {"command":"active"} `request_after` its read was started and reads the whole reply
// `reply_taken_after` its reply was written; those times pass on the clock of
// common/platform_thread.h (SleepFor), as does WaitForStop's pause, so a test on the
// virtual clock spends no real time on them.
//
// State is process-wide. All functions are thread-safe. Reset between tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

namespace brumo::pipe_standin {

// No hooks, no clients, no failures.
void Reset();
// Runs at the start of MakeEndpoint, CreateInstance and CloseInstance, and in SignalStop
// just before the server thread can see the signal, with the function's name, on the
// caller's thread; it may throw from MakeEndpoint.
void SetHook(std::function<void(std::string_view call)> hook);
// Runs at the server thread's calls, on that thread, with a word for each: "create"
// (CreateInstance), "close" (CloseInstance), "connect" (StartConnect), "wait-<ms>"
// (WaitForStop), "read" and "write" (StartRead, StartWrite with a client), "flush"
// (AwaitReplyTaken with a client) and "taken" once it has seen the reply taken, "drop"
// (DropClient). It may block, for instance until the test has asked for a stop.
void SetTrace(std::function<void(std::string_view call)> trace);

// The next `count` StartConnect calls fail on a usable instance.
void FailConnects(int count);
// The instance (or the next one made) turns unusable: StartConnect fails and
// InstanceUsable is false until it is closed.
void BreakInstance();

// Every WaitForStop fails from now on: false at once, no time passed.
void FailStopWaits();

struct Client {
  std::chrono::milliseconds request_after{0};
  std::chrono::milliseconds reply_taken_after{0};
};
// The next connect brings this client; one client in all.
void ScriptClient(Client client);
// The capacity of the last read started.
std::uint32_t ReadCapacity();

}  // namespace brumo::pipe_standin
