// Control of the tun2proxy stand-in (tun2proxy_standin.cpp), which defines the library's
// three C functions for tests. Every call is counted and every run call's arguments are
// kept. It answers as the real library does: a run call registers itself with the library
// (at most one is registered: another run call meanwhile returns -1 at once) and returns 0
// after a stop, -4 when it ends by itself or cannot make its device; a stop returns 0 when
// it cancelled the registered run call and -1 when none was registered (a stop before a
// run call registers has no effect on it). How a run call ends is set by its mode.
//
// All functions are thread-safe. Reset between tests, when no run call is inside.
#pragma once

#include <fmt/format.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tunnel/tun2proxy.h"

namespace brumo::tun2proxy_standin {

enum class RunMode {
  kBlock,          // registers at once; returns on a stop (0) or EndRunsByThemselves (-4)
  kReturn,         // registers, then ends by itself at once (-4)
  kDelay,          // registers at once; ends by itself after the delay, or earlier as kBlock
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

// The run call's line of the DLL's call log (README.md), which the Wine bridge writes too.
inline std::string LogLine(const RunArgs& run) {
  return fmt::format(
      "run proxy_url={} tun={} bypass={} dns_strategy={} root_privilege={:d} verbosity={}",
      run.proxy_url, run.tun, run.bypass, run.dns_strategy, run.root_privilege, run.verbosity);
}

// Block mode, the library's own results, nothing registered, counts and records cleared,
// no log callback, no hook, no device model.
void Reset();

void SetRunMode(RunMode mode, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
// Returned by run calls in place of their 0 and -4, and by stops in place of their 0 and -1;
// what the calls do stays the same.
void SetRunResult(int result);
void SetStopResult(int result);
// Runs at the start of every tun2proxy_stop, on the caller's thread, before a run call is
// woken. Tests use it to hold a stop sequence at that point, or to throw from it.
void SetStopHook(std::function<void()> hook);

// Ends every run call inside right now, registered or not, as when the library ends the
// tunnel by itself.
void EndRunsByThemselves();

// Opt-in model of the device that a run call makes once registered: `make` gets the
// device's name and answers false when it cannot be made (the run call then returns -4 at
// once); `remove` is called as a run call that made it returns. Both run with the
// stand-in's lock held and must not call into this stand-in.
struct DeviceModel {
  std::function<bool(const std::string&)> make;
  std::function<void(const std::string&)> remove;
};
void ModelDevice(DeviceModel model);

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

// Waits until `count` run calls were made since Reset; false when `timeout` passed first.
bool WaitForRunCalls(int count, std::chrono::milliseconds timeout);

}  // namespace brumo::tun2proxy_standin
