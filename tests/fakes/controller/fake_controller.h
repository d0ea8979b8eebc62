// Test control for the stand-in TunnelController (fake_tunnel_controller.cpp). Linking
// brumo_fake_controller instead of brumo_tunnel gives every TunnelController the behaviour
// set here. The state is process-wide (all instances share it), guarded by one mutex, so a
// test thread may read the counts while a server thread calls into the controller.
//
// Default behaviour mirrors the real controller: Start fails with "VPN already running"
// while the tunnel runs and otherwise sets it running; Stop always succeeds and clears it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "tunnel/op_result.h"

namespace brumo::fake_controller {

// What a controller call throws instead of returning.
enum class Throw {
  kNothing,
  kSystemError,  // std::system_error with the generic code EAGAIN, as a failed std::thread
  kBadAlloc,     // std::bad_alloc
  kNonStd,       // NonStdError, which is not derived from std::exception
};

// Thrown for Throw::kNonStd.
struct NonStdError {
  int code = 0;
};

struct Behaviour {
  // When set, Start/Stop return this instead of the default behaviour. A result with `ok`
  // true still moves the running flag (Start sets it, Stop clears it).
  std::optional<OpResult> start_result;
  std::optional<OpResult> stop_result;
  Throw start_throws = Throw::kNothing;
  Throw stop_throws = Throw::kNothing;
  Throw status_throws = Throw::kNothing;  // GetStatus and IsRunning
  // Slept before Start/Stop act, outside the lock (a slow launch check or join).
  std::chrono::milliseconds start_delay{0};
  std::chrono::milliseconds stop_delay{0};
};

struct Calls {
  int constructed = 0;
  int destroyed = 0;
  int start = 0;  // counted also when the call throws
  int stop = 0;
  int is_running = 0;
  int get_status = 0;
};

// Default behaviour, not running, all counts zero.
void Reset();
void SetBehaviour(const Behaviour& behaviour);
Behaviour GetBehaviour();
void SetRunning(bool running);
bool Running();
Calls GetCalls();

// The exception object that `Throw` selects (used by tests to predict texts).
[[noreturn]] void ThrowAs(Throw kind);

}  // namespace brumo::fake_controller
