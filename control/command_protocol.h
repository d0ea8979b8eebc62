// The command protocol of the control channel: the bytes of one request to the bytes of
// its reply, driving the tunnel controller. Touches no platform interface.
#pragma once

#include <string>
#include <string_view>

namespace brumo {

class TunnelController;

// Answers one request: trailing CR and LF bytes are dropped, the rest is parsed as one
// JSON value and "command" "start", "stop" or "active" is carried out on `controller`.
// Never throws: every request gets exactly one reply, a compact JSON object in valid
// UTF-8 with "message" and "status" (and "running" for "active"). Runs on the caller's
// thread; the controller serialises the commands itself.
std::string ProcessRequest(std::string_view request, TunnelController& controller);

}  // namespace brumo
