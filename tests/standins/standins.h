// The stand-ins under a tunnel controller and its guard, set up together: the tunnel's
// adapter present, the engine empty, tun2proxy blocking, no fault or hook anywhere.
// A test holds a Scope for its life.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "tests/standins/guarded.h"
#include "tests/standins/interfaces/interfaces_standin.h"
#include "tests/standins/platform/platform_standin.h"
#include "tests/standins/tun2proxy/tun2proxy_standin.h"
#include "tests/standins/wfp/wfp_standin.h"
#include "tunnel/tunnel_controller.h"

namespace brumo::standins {

inline constexpr std::uint32_t kTunnelIndex = 7;

// Every stand-in linked into the program reset (the filter engine's by name, the others
// through LinkedResets), then the tunnel's adapter put in the interface table.
// With `virtual_clock`, the controller's launch check costs no real time: its pause
// returns once the worker it checks has entered its run call, as it would have during the
// real 500 ms. A run call that returns by itself needs the real clock for its end to be
// seen by the check.
inline void ResetStandIns(bool virtual_clock) {
  wfp_standin::Reset();
  for (void (*reset)() : LinkedResets()) reset();
  interfaces_standin::SetInterface(kTunnelDeviceName, kTunnelIndex);
  if (!virtual_clock) return;
  platform_standin::UseVirtualClock(true);
  auto checks = std::make_shared<std::atomic<int>>(0);
  platform_standin::SetSleepHook([checks](std::chrono::milliseconds duration) {
    if (duration != kLaunchCheckDelay) return;
    tun2proxy_standin::WaitForRunCalls(++*checks, std::chrono::seconds(10));
  });
}

// The stand-ins as ResetStandIns leaves them for the scope's life, and reset again when it
// ends, so that no fault, hook or record set inside it reaches what runs after. One at a
// time in a process, or nested (a table's case: it starts afresh and leaves all reset);
// whatever uses the stand-ins (threads, controllers) ends before it.
class Scope {
 public:
  explicit Scope(bool virtual_clock = true) { ResetStandIns(virtual_clock); }
  ~Scope() { ResetStandIns(/*virtual_clock=*/false); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

// Opt-in, after ResetStandIns: the tunnel's device is in the interface table only while a
// run call that made it is inside, as the real library makes and removes its TUN device;
// a run call whose device name another device holds already fails to make it, as the real
// one does when a link that is no TUN device has that name.
inline void ModelTunnelDevice() {
  interfaces_standin::RemoveInterface(kTunnelDeviceName);
  tun2proxy_standin::ModelDevice(
      {[](const std::string& name) {
         if (interfaces_standin::HasInterface(name)) return false;
         interfaces_standin::SetInterface(name, kTunnelIndex);
         return true;
       },
       [](const std::string& name) { interfaces_standin::RemoveInterface(name); }});
}

}  // namespace brumo::standins
