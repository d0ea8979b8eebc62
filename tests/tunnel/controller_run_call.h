// tun2proxy's run call with the arguments the tunnel controller gives it, for the tests that
// call the library (the real one or the stand-in) without the controller.
#pragma once

#include <string>

#include "tunnel/tun2proxy.h"
#include "tunnel/tunnel_controller.h"

namespace brumo::test_support {

inline int RunWithTheControllersArguments() {
  const std::string proxy_url = "socks5://127.0.0.1:" + std::to_string(kProxyPort);
  return tun2proxy_with_name_run(proxy_url.c_str(), kTunnelDeviceName.data(), kBypassCidr.data(),
                                 TUN2PROXY_DNS_DIRECT, false, TUN2PROXY_VERBOSITY_OFF);
}

}  // namespace brumo::test_support
