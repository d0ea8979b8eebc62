// Control of the tun2proxy stand-in (fake_tun2proxy.cpp), which defines the library's
// three C functions for tests. Its run call blocks until tun2proxy_stop, returns at once,
// or returns after a delay; every call is counted and every run call's arguments are kept.
//
// All functions are thread-safe. Reset between tests, when no run call is inside.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tunnel/tun2proxy.h"

namespace brumo::fake_tun2proxy {

enum class RunMode {
  kBlock,   // until tun2proxy_stop or EndRunsByThemselves
  kReturn,  // at once
  kDelay,   // after the configured delay, or earlier on a stop
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
// Runs at the start of every tun2proxy_stop, on the caller's thread, before a blocked
// run call is woken. Tests use it to hold a stop sequence at that point.
void SetStopHook(std::function<void()> hook);

// Wakes every run call inside right now, as when the library ends the tunnel by itself.
void EndRunsByThemselves();

// tun2proxy_stop only wakes run calls that are inside at that moment; a stop with no
// run inside has no effect on a later run, as with the real library.
int SetLogCallbackCalls();
int RunCalls();
int StopCalls();
int RunsInside();
std::vector<RunArgs> RecordedRuns();
// Names of the calls in order: "set_log_callback", "run", "stop".
std::vector<std::string> CallOrder();
Tun2proxyLogCallback InstalledLogCallback();
void* InstalledLogContext();

// Waits until `count` run calls are inside at once; false when `timeout` passed first.
bool WaitForRunsInside(int count, std::chrono::milliseconds timeout);

}  // namespace brumo::fake_tun2proxy
