// The request processing beside the bare library work on the same bytes: parsing the
// request, building the equal reply object and serialising it. Run by run_protocol_bench,
// which prints each pair's ratio. The controller is the real one, over the test stand-ins
// and their virtual clock, and already runs: "start" is answered without launching a
// thread, so each pair differs only by the protocol's own work.
#include <cstdlib>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "control/command_protocol.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/standins/standins.h"
#include "tests/support/test_support.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using nlohmann::json;

using test_support::kActiveRequest;
using test_support::kStartRequest;
constexpr std::string_view kMalformedRequest = R"({"command":"start",})";

std::string Dump(const json& reply) {
  return reply.dump(-1, ' ', false, json::error_handler_t::strict);
}

// A controller whose tunnel runs.
struct Setup {
  Setup() {
    standins::ResetStandIns(/*virtual_clock=*/true);
    if (!controller.Start().ok) std::abort();
  }
  DnsLeakGuard guard;
  TunnelController controller{&guard};
};

void Process(benchmark::State& state, std::string_view request) {
  Setup setup;
  for (auto _ : state) {
    std::string reply = ProcessRequest(request, setup.controller);
    benchmark::DoNotOptimize(reply);
  }
}

void BM_Process_Active(benchmark::State& state) { Process(state, kActiveRequest); }
void BM_Process_Start(benchmark::State& state) { Process(state, kStartRequest); }
void BM_Process_Malformed(benchmark::State& state) { Process(state, kMalformedRequest); }

void BM_Library_Active(benchmark::State& state) {
  for (auto _ : state) {
    json request = json::parse(kActiveRequest, nullptr, true, false);
    benchmark::DoNotOptimize(request);
    std::string reply = Dump(json{{"message", "active"}, {"running", true}, {"status", "ok"}});
    benchmark::DoNotOptimize(reply);
  }
}

void BM_Library_Start(benchmark::State& state) {
  for (auto _ : state) {
    json request = json::parse(kStartRequest, nullptr, true, false);
    benchmark::DoNotOptimize(request);
    std::string reply = Dump(json{{"message", "VPN already running"}, {"status", "error"}});
    benchmark::DoNotOptimize(reply);
  }
}

void BM_Library_Malformed(benchmark::State& state) {
  for (auto _ : state) {
    std::string reply;
    try {
      json request = json::parse(kMalformedRequest, nullptr, true, false);
      benchmark::DoNotOptimize(request);
    } catch (const json::exception& e) {
      reply = Dump(
          json{{"message", std::string("JSON parse error: ") + e.what()}, {"status", "error"}});
    }
    benchmark::DoNotOptimize(reply);
  }
}

BENCHMARK(BM_Library_Active);
BENCHMARK(BM_Process_Active);
BENCHMARK(BM_Library_Start);
BENCHMARK(BM_Process_Start);
BENCHMARK(BM_Library_Malformed);
BENCHMARK(BM_Process_Malformed);

}  // namespace
}  // namespace brumo

BENCHMARK_MAIN();
