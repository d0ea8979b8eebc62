// Control of the named-pipe stand-in (pipe_standin.cpp), for hosts without named pipes and
// for tests that want none: it
// defines control/pipe_platform.h so that the pipe server's thread runs its loop, but no
// client ever connects. The instance is always created; a wait that watches the stop
// returns kStopped once SignalStop was called, and every read, write and flush fails.
//
// State is process-wide. All functions are thread-safe. Reset between tests.
#pragma once

#include <functional>
#include <string_view>

namespace brumo::pipe_standin {

// No hook.
void Reset();
// Runs at the start of OpenEndpoint, SignalStop, CreateInstance and CloseInstance with the
// function's name, on the caller's thread; it may throw from OpenEndpoint.
void SetHook(std::function<void(std::string_view call)> hook);

}  // namespace brumo::pipe_standin
