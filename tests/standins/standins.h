// The stand-ins under a tunnel controller and its guard, set up together: the tunnel's
// adapter present, the engine empty, tun2proxy blocking, no fault or hook anywhere.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "tests/standins/interfaces/interfaces_standin.h"
#include "tests/standins/platform/platform_standin.h"
#include "tests/standins/tun2proxy/tun2proxy_standin.h"
#include "tests/standins/wfp/wfp_standin.h"
#include "tunnel/tunnel_controller.h"

namespace brumo::standins {

inline constexpr std::uint32_t kTunnelIndex = 7;

// With `virtual_clock`, the controller's launch check costs no real time: its pause
// returns once the worker it checks has entered its run call, as it would have during the
// real 500 ms. A run call that returns by itself needs the real clock for its end to be
// seen by the check.
inline void ResetStandIns(bool virtual_clock) {
  tun2proxy_standin::Reset();
  wfp_standin::Reset();
  interfaces_standin::Reset();
  interfaces_standin::SetInterface(kTunnelDeviceName, kTunnelIndex);
  platform_standin::Reset();
  if (!virtual_clock) return;
  platform_standin::UseVirtualClock(true);
  auto checks = std::make_shared<std::atomic<int>>(0);
  platform_standin::SetSleepHook([checks](std::chrono::milliseconds duration) {
    if (duration != kLaunchCheckDelay) return;
    tun2proxy_standin::WaitForRunCalls(++*checks, std::chrono::seconds(10));
  });
}

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
