// The real tun2proxy under the real tunnel controller, measured through the command
// protocol in the network of scripts/lib/real-net.sh. Each figure is a ratio taken within
// this one run: the "start" reply against the 500 ms launch check, the "stop" reply against
// the controller's 100 ms stop repeat interval, and HTTP throughput and DNS round trips
// through the tunnel against the same requests sent to the SOCKS5 proxy directly (CONNECT,
// UDP ASSOCIATE), alternating so that both see the same machine. Prints a Markdown table;
// exits non-zero when a request or a reply is wrong.
//
//   real_tunnel_bench [--cycles=N] [--http-bytes=N] [--http-rounds=N] [--dns-queries=N]
#include <net/if.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "control/command_protocol.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/real_tun2proxy/net_client.h"
#include "tests/support/test_support.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using Clock = std::chrono::steady_clock;

using namespace test_support;

struct Options {
  int cycles = 10;
  long http_bytes = 32L << 20;
  int http_rounds = 5;
  int dns_queries = 500;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
double Max(const std::vector<double>& values) {
  return *std::max_element(values.begin(), values.end());
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    const auto value = [&](std::string_view name, auto& out) {
      if (arg.substr(0, name.size()) != name) return false;
      out = static_cast<std::remove_reference_t<decltype(out)>>(std::atol(argv[i] + name.size()));
      return out > 0;
    };
    if (!value("--cycles=", options.cycles) && !value("--http-bytes=", options.http_bytes) &&
        !value("--http-rounds=", options.http_rounds) &&
        !value("--dns-queries=", options.dns_queries)) {
      std::fprintf(stderr, "real_tunnel_bench: unknown or bad option %s\n", argv[i]);
      return false;
    }
  }
  return true;
}

class Bench {
 public:
  Bench(const real_net::Harness& net, const Options& options) : net_(net), options_(options) {}

  bool Run() {
    // Start and stop cycles; each tunnel carries one request before its stop, so that the
    // stop ends a run with a finished session behind it, as a user's would.
    Progress("start/stop cycles");
    for (int i = 0; i < options_.cycles; ++i) {
      if (!Start()) return false;
      if (!Probe()) return false;
      if (!Stop()) return false;
    }
    // Traffic, in one tunnel: throughput and round trips, alternating with the proxy.
    if (!Start() || !Probe()) return false;
    Progress("HTTP throughput");
    const std::string path = "/bytes/" + std::to_string(options_.http_bytes);
    for (int i = 0; i < options_.http_rounds; ++i) {
      if (!Fetch(path, nullptr, tunnel_mbps_) || !Fetch(path, &net_.proxy, direct_mbps_)) {
        return false;
      }
    }
    real_net::DnsClient tunnel_dns(net_.dns);
    real_net::DnsClient direct_dns(net_.dns, &net_.proxy);
    if (!tunnel_dns.ok() || !direct_dns.ok()) {
      return Fail("DNS client: " + tunnel_dns.error() + direct_dns.error());
    }
    Progress("DNS round trips");
    for (int i = 0; i < options_.dns_queries; ++i) {
      if (!Query(tunnel_dns, tunnel_dns_ms_) || !Query(direct_dns, direct_dns_ms_)) return false;
    }
    return Stop();
  }

  void Print() const {
    const double start = Median(start_ms_);
    const double stop = Median(stop_ms_);
    const double launch = static_cast<double>(kLaunchCheckDelay.count());
    const double repeat = static_cast<double>(kStopRepeatInterval.count());
    std::printf("| Measure | Through the tunnel | Reference | Ratio |\n|---|---|---|---|\n");
    std::printf(
        "| \"start\" reply (%zu) | median %.1f ms, max %.1f ms | the %.0f ms launch check |"
        " **%.2fx** |\n",
        start_ms_.size(), start, Max(start_ms_), launch, start / launch);
    std::printf(
        "| \"stop\" reply, tunnel running (%zu) | median %.1f ms, max %.1f ms | the %.0f ms"
        " stop repeat interval | **%.2fx** |\n",
        stop_ms_.size(), stop, Max(stop_ms_), repeat, stop / repeat);
    const double tunnel_mbps = Median(tunnel_mbps_);
    const double direct_mbps = Median(direct_mbps_);
    std::printf(
        "| HTTP GET of %ld MiB (%zu each) | median %.0f MiB/s | %.0f MiB/s to the proxy"
        " directly (CONNECT) | **%.2fx** |\n",
        options_.http_bytes >> 20, tunnel_mbps_.size(), tunnel_mbps, direct_mbps,
        tunnel_mbps / direct_mbps);
    const double tunnel_dns = Median(tunnel_dns_ms_);
    const double direct_dns = Median(direct_dns_ms_);
    std::printf(
        "| DNS A query round trip (%zu each) | median %.3f ms, max %.3f ms | median %.3f"
        " ms, max %.3f ms to the proxy directly (UDP ASSOCIATE) | **%.2fx** |\n",
        tunnel_dns_ms_.size(), tunnel_dns, Max(tunnel_dns_ms_), direct_dns, Max(direct_dns_ms_),
        tunnel_dns / direct_dns);
  }

 private:
  static void Progress(const char* what) {
    std::fprintf(stderr, "real_tunnel_bench: %s ...\n", what);
  }

  bool Fail(const std::string& why) {
    std::fprintf(stderr, "real_tunnel_bench: %s\n", why.c_str());
    return false;
  }

  // `request` through the command protocol, its time added to `ms`; false unless it is
  // answered with `expected`.
  bool Exchange(std::string_view request, std::string_view expected, std::vector<double>& ms) {
    const Clock::time_point begin = Clock::now();
    const std::string reply = ProcessRequest(request, controller_);
    ms.push_back(Ms(Clock::now() - begin));
    return reply == expected || Fail(std::string(request) + " answered " + reply);
  }

  bool Start() {
    if (!Exchange(kStartRequest, kStartedReply, start_ms_)) return false;
    if (std::system(R"(bash -c '. "$BRUMO_NET_LIB" && brumo_real_net_route_tunnel')") != 0) {
      return Fail("the server subnet could not be routed into brumotun");
    }
    return true;
  }

  bool Stop() {
    if (!Exchange(kStopRequest, kStoppedReply, stop_ms_)) return false;
    if (if_nametoindex(std::string(kTunnelDeviceName).c_str()) != 0) {
      return Fail("brumotun is still there after the stop");
    }
    return true;
  }

  // One small request through the tunnel, which must come out of the proxy.
  bool Probe() {
    const real_net::HttpReply reply = real_net::HttpGet(net_.http, "/");
    if (!reply.ok || reply.body != net_.proxy_external) {
      return Fail("probe through the tunnel: " + (reply.ok ? "body " + reply.body : reply.error));
    }
    return true;
  }

  bool Fetch(const std::string& path, const real_net::Endpoint* socks, std::vector<double>& out) {
    const Clock::time_point begin = Clock::now();
    const real_net::HttpReply reply = real_net::HttpGet(net_.http, path, socks);
    const double seconds = Ms(Clock::now() - begin) / 1000;
    if (!reply.ok || reply.status != 200 ||
        reply.body_bytes != static_cast<std::size_t>(options_.http_bytes)) {
      return Fail("GET " + path + ": " +
                  (reply.ok ? std::to_string(reply.body_bytes) + " bytes" : reply.error));
    }
    out.push_back(static_cast<double>(options_.http_bytes) / (1 << 20) / seconds);
    return true;
  }

  bool Query(real_net::DnsClient& client, std::vector<double>& out) {
    const Clock::time_point begin = Clock::now();
    const real_net::DnsReply reply = client.QueryA("bench.example.com");
    out.push_back(Ms(Clock::now() - begin));
    if (!reply.ok || reply.address != net_.proxy_external) {
      return Fail("DNS query: " + (reply.ok ? "address " + reply.address : reply.error));
    }
    return true;
  }

  const real_net::Harness& net_;
  const Options& options_;
  DnsLeakGuard guard_;
  TunnelController controller_{&guard_};
  std::vector<double> start_ms_, stop_ms_, tunnel_mbps_, direct_mbps_, tunnel_dns_ms_,
      direct_dns_ms_;
};

}  // namespace
}  // namespace brumo

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // the table between the progress lines
  brumo::Options options;
  if (!brumo::ParseOptions(argc, argv, options)) return 2;
  brumo::real_net::Harness net;
  std::string error;
  if (!brumo::real_net::ReadHarness(net, error)) {
    std::fprintf(stderr, "real_tunnel_bench: %s\n", error.c_str());
    return 2;
  }
  brumo::Bench bench(net, options);
  const bool ok = bench.Run();
  if (ok) bench.Print();
  return ok ? 0 : 1;
}
