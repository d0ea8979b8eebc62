// Control of the tun2proxy stand-in (tun2proxy_standin.cpp), which defines the library's
// three C functions for tests. Every call is counted and every run call's arguments are
// kept. How a run call ends is set by its mode; a stop ends only a run call that has
// registered itself with the library at that moment (a stop before has no effect on it),
// as with the real library.
//
// All functions are thread-safe. Reset between tests, when no run call is inside.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tunnel/tun2proxy.h"

namespace brumo::tun2proxy_standin {

enum class RunMode {
  kBlock,          // registers at once; returns on a stop or EndRunsByThemselves
  kReturn,         // returns at once
  kDelay,          // registers at once; returns after the delay, or earlier as kBlock
  kRegistersLate,  // registers only after the delay, then as kBlock
  // Returns -3 at once with its registration left in place, as a run that cannot build its
  // runtime does in 0.7.15-0.7.17: until the next stop, every run call returns -1 at once.
  kFailsRegistered,
  // Registers at once; a stop has no effect on it, as on a run held in its teardown:
  // returns only on EndRunsByThemselves.
  kIgnoresStops,
};

struct RunArgs {
  std::string proxy_url;
  std::string tun;
  std::string bypass;
  int dns_strategy = -1;
  bool root_privilege = true;
  int verbosity = -1;

  bool operator==(const RunArgs&) const = default;
};

// Block mode, results 0, counts and records cleared, no log callback, no hook.
void Reset();

void SetRunMode(RunMode mode, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
void SetRunResult(int result);
void SetStopResult(int result);
// Runs at the start of every tun2proxy_stop, on the caller's thread, before a run call is
// woken. Tests use it to hold a stop sequence at that point, or to throw from it.
void SetStopHook(std::function<void()> hook);

// Ends every run call inside right now, registered or not, as when the library ends the
// tunnel by itself.
void EndRunsByThemselves();

// What the library saw since Reset (runs_inside: the run calls inside now).
struct Record {
  int set_log_callback_calls = 0;
  int run_calls = 0;
  int stop_calls = 0;
  int runs_inside = 0;
  std::vector<RunArgs> runs;
  // Names of the calls in order: "set_log_callback", "run", "stop".
  std::vector<std::string> calls;
  Tun2proxyLogCallback log_callback = nullptr;
  void* log_context = nullptr;
};
Record Recorded();

// Waits until `count` run calls are inside at once, or until `count` run calls were made
// since Reset; false when `timeout` passed first.
bool WaitForRunsInside(int count, std::chrono::milliseconds timeout);
bool WaitForRunCalls(int count, std::chrono::milliseconds timeout);

}  // namespace brumo::tun2proxy_standin
