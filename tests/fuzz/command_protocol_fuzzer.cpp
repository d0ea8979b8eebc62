// libFuzzer target over the request processing, with the stand-in controller. Every input
// must give one reply that is a compact JSON object in valid UTF-8 with "status" "ok" or
// "error" and a string "message", and no exception may leave ProcessRequest.
//
// The controller's behaviour is chosen from the input's length, so each input replays the
// same way: normal operation in either state, failures whose text is the raw input (which
// may be any bytes), and each kind of exception out of each call.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "control/control_pipe_server.h"
#include "control/utf8_repair.h"
#include "tests/fakes/controller/fake_controller.h"
#include "tunnel/tunnel_controller.h"

namespace {

namespace fc = brumo::fake_controller;

[[noreturn]] void Fail(const char* what, std::string_view reply) {
  std::fprintf(stderr, "invariant broken: %s\nreply (%zu bytes): %.*s\n", what, reply.size(),
               static_cast<int>(reply.size()), reply.data());
  std::abort();
}

// Returns whether a controller call may throw.
bool ChooseBehaviour(std::string_view input) {
  fc::Reset();
  fc::Behaviour b;
  const std::size_t mode = input.size() % 8;
  const auto thrown = static_cast<fc::Throw>(1 + (input.size() / 8) % 3);
  switch (mode) {
    case 0:
      break;
    case 1:
      fc::SetRunning(true);
      break;
    case 2:
      b.start_result = brumo::OpResult::Failure(std::string(input));
      b.stop_result = brumo::OpResult::Failure(std::string(input));
      break;
    case 3:
      b.start_throws = thrown;
      break;
    case 4:
      b.stop_throws = thrown;
      break;
    case 5:
      b.status_throws = thrown;
      break;
    case 6:
      fc::SetRunning(true);
      b.start_result = brumo::OpResult::Failure(std::string(input.substr(0, 64)));
      break;
    default:
      b.start_throws = thrown;
      b.stop_throws = thrown;
      b.status_throws = thrown;
      break;
  }
  fc::SetBehaviour(b);
  return mode >= 3 && mode != 6;
}

void CheckReply(const std::string& reply, bool controller_throws) {
  if (!brumo::IsValidUtf8(reply)) Fail("not valid UTF-8", reply);
  const auto parsed = nlohmann::json::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) Fail("not JSON", reply);
  if (!parsed.is_object()) Fail("not an object", reply);
  const auto status = parsed.find("status");
  if (status == parsed.end() || !status->is_string()) Fail("no string \"status\"", reply);
  if (*status != "ok" && *status != "error") Fail("\"status\" neither ok nor error", reply);
  const auto message = parsed.find("message");
  if (message == parsed.end() || !message->is_string()) Fail("no string \"message\"", reply);
  // Only an exception out of the controller may lead to an internal error; everything the
  // request alone can cause has a reply of its own.
  if (!controller_throws && message->get<std::string>().rfind("Internal error: ", 0) == 0) {
    Fail("internal error without a throwing controller", reply);
  }
  const auto running = parsed.find("running");
  const std::size_t expected_members = running == parsed.end() ? 2 : 3;
  if (parsed.size() != expected_members) Fail("unexpected members", reply);
  if (running != parsed.end()) {
    if (!running->is_boolean() || *status != "ok") Fail("bad \"running\"", reply);
    if (*message != (running->get<bool>() ? "active" : "inactive")) {
      Fail("\"message\" disagrees with \"running\"", reply);
    }
  }
  // Compact, sorted and raw UTF-8: serialising the parsed reply again gives the same bytes.
  if (parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict) != reply) {
    Fail("not in compact form", reply);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static brumo::TunnelController controller(nullptr);
  static brumo::ControlPipeServer server(&controller);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool controller_throws = ChooseBehaviour(input);
  std::string reply;
  try {
    reply = server.ProcessRequest(input);
  } catch (...) {
    Fail("exception escaped ProcessRequest", "");
  }
  CheckReply(reply, controller_throws);
  return 0;
}
