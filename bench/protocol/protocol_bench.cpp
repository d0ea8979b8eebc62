// The request processing beside the bare library work on the same bytes: parsing the
// request, building the equal reply object and serialising it. Run by run_protocol_bench,
// which prints each pair's ratio.
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "control/control_pipe_server.h"
#include "tests/fakes/controller/fake_controller.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using nlohmann::json;
namespace fc = fake_controller;

constexpr std::string_view kActiveRequest = R"({"command":"active"})";
constexpr std::string_view kStartRequest = R"({"command":"start"})";
constexpr std::string_view kMalformedRequest = R"({"command":"start",})";

std::string Dump(const json& reply) {
  return reply.dump(-1, ' ', false, json::error_handler_t::strict);
}

// A controller that is down and whose every start succeeds.
struct Setup {
  Setup() {
    fc::Reset();
    fc::Behaviour behaviour;
    behaviour.start_result = OpResult::Success();
    fc::SetBehaviour(behaviour);
  }
  ~Setup() { fc::Reset(); }
  TunnelController controller{nullptr};
  ControlPipeServer server{&controller};
};

void ProcessRequest(benchmark::State& state, std::string_view request) {
  Setup setup;
  for (auto _ : state) {
    std::string reply = setup.server.ProcessRequest(request);
    benchmark::DoNotOptimize(reply);
  }
}

void BM_Process_Active(benchmark::State& state) { ProcessRequest(state, kActiveRequest); }
void BM_Process_Start(benchmark::State& state) { ProcessRequest(state, kStartRequest); }
void BM_Process_Malformed(benchmark::State& state) { ProcessRequest(state, kMalformedRequest); }

void BM_Library_Active(benchmark::State& state) {
  for (auto _ : state) {
    json request = json::parse(kActiveRequest, nullptr, true, false);
    benchmark::DoNotOptimize(request);
    std::string reply = Dump(json{{"message", "inactive"}, {"running", false}, {"status", "ok"}});
    benchmark::DoNotOptimize(reply);
  }
}

void BM_Library_Start(benchmark::State& state) {
  for (auto _ : state) {
    json request = json::parse(kStartRequest, nullptr, true, false);
    benchmark::DoNotOptimize(request);
    std::string reply = Dump(json{{"message", "VPN started successfully"}, {"status", "ok"}});
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
