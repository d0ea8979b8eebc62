// The real tunnel controller and DNS leak guard over the real tun2proxy, driven through the
// command protocol, with real HTTP and DNS traffic through the tunnel to a server host and
// a real SOCKS5 proxy (dante) in the network of scripts/lib/real-net.sh (run under
// tests/real_tun2proxy/run-in-net). The filter engine is the in-memory stand-in; the
// guard finds the device through Linux's own table of devices.
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "control/command_protocol.h"
#include "dnsguard/dns_filters.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/real_tun2proxy/net_client.h"
#include "tests/standins/wfp/wfp_standin.h"
#include "tests/support/test_support.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

namespace engine = wfp_standin;

using namespace test_support;
// The address tun2proxy gives its device on Linux.
constexpr char kDeviceAddress[] = "10.0.0.33";

unsigned DeviceIndex() { return if_nametoindex(std::string(kTunnelDeviceName).c_str()); }

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

class RealTunnelTraffic : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(real_net::ReadHarness(net_, error)) << error;
    ASSERT_EQ(DeviceIndex(), 0u) << "brumotun exists before the test";
    engine::Reset();
  }
  void TearDown() override {
    EXPECT_EQ(ProcessRequest(kStopRequest, controller_), kStoppedReply);
    Shell("ip link del " + std::string(kTunnelDeviceName) + " 2>/dev/null");
  }

  // "start", then checks that the device exists and that the guard's filters name its
  // index, and routes the server subnet into it (the harness brings it up first).
  void StartAndRoute() {
    ASSERT_EQ(ProcessRequest(kStartRequest, controller_), kStartedReply);
    const unsigned index = DeviceIndex();
    ASSERT_NE(index, 0u);
    // The filters of this enable, the last ones submitted, are the guard's twelve for the
    // device.
    const engine::Record engine = engine::Recorded();
    EXPECT_EQ(engine.live_filter_ids.size(), 12u);
    ASSERT_GE(engine.filters.size(), 12u);
    EXPECT_EQ(std::vector<FilterRecord>(engine.filters.end() - 12, engine.filters.end()),
              BuildDnsFilters(index));
    ASSERT_TRUE(Shell(R"(bash -c '. "$BRUMO_NET_LIB" && brumo_real_net_route_tunnel')"));
  }

  // An HTTP GET and a DNS query through the tunnel: both answered, and both seen by the
  // server as coming from the proxy, not from the device.
  void ExpectTrafficThroughProxy() {
    const real_net::HttpReply http = real_net::HttpGet(net_.http, "/");
    ASSERT_TRUE(http.ok) << http.error;
    EXPECT_EQ(http.status, 200);
    EXPECT_EQ(http.body, net_.proxy_external);
    EXPECT_NE(http.body, kDeviceAddress);

    real_net::DnsClient dns(net_.dns);
    ASSERT_TRUE(dns.ok()) << dns.error();
    const real_net::DnsReply answer = dns.QueryA("www.example.com");
    ASSERT_TRUE(answer.ok) << answer.error;
    EXPECT_EQ(answer.address, net_.proxy_external);
  }

  // "stop": the run has ended, the device is gone and the filters with it.
  void StopAndExpectGone() {
    EXPECT_EQ(ProcessRequest(kStopRequest, controller_), kStoppedReply);
    EXPECT_EQ(ProcessRequest(kActiveRequest, controller_), kInactiveReply);
    EXPECT_EQ(DeviceIndex(), 0u);
    const engine::Record engine = engine::Recorded();
    EXPECT_TRUE(engine.live_filter_ids.empty());
    EXPECT_EQ(engine.open_handles, 0);
  }

  real_net::Harness net_;
  DnsLeakGuard guard_;
  TunnelController controller_{&guard_};
};

TEST_F(RealTunnelTraffic, CarriesHttpAndDnsThroughTheProxyAcrossTwoStarts) {
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("start " + std::to_string(round));
    ASSERT_NO_FATAL_FAILURE(StartAndRoute());
    EXPECT_EQ(ProcessRequest(kActiveRequest, controller_), kActiveReply);
    ASSERT_NO_FATAL_FAILURE(ExpectTrafficThroughProxy());
    StopAndExpectGone();
  }
}

// The device cannot be made while another link holds its name: the run ends by itself
// within the launch check. Once the name is free, a start runs again.
TEST_F(RealTunnelTraffic, StartWhoseDeviceCannotBeMadeFailsAndTheNextOneWorks) {
  const std::string device(kTunnelDeviceName);
  ASSERT_TRUE(Shell("ip link add " + device + " type veth peer name " + device + "-peer"));
  EXPECT_EQ(ProcessRequest(kStartRequest, controller_), kExitedPrematurelyReply);
  EXPECT_EQ(ProcessRequest(kActiveRequest, controller_), kInactiveReply);
  EXPECT_TRUE(engine::Recorded().live_filter_ids.empty());
  ASSERT_TRUE(Shell("ip link del " + device));

  ASSERT_NO_FATAL_FAILURE(StartAndRoute());
  ASSERT_NO_FATAL_FAILURE(ExpectTrafficThroughProxy());
  StopAndExpectGone();
}

}  // namespace
}  // namespace brumo
