// libFuzzer target over the request processing, with a real controller and its real guard
// over the stand-ins (the tunnel's adapter present, the virtual clock: "start" and "stop"
// cost no real wait). Every input must give one reply that is a compact JSON object in
// valid UTF-8 with "status" "ok" or "error" and a string "message", and no exception may
// leave ProcessRequest.
//
// The state under the controller is chosen from the input's length, so each input replays
// the same way: normal operation in either state, failures whose text is the raw input
// (which may be any bytes), a tunnel that ends at once, and exceptions out of the start and
// the stop.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "control/command_protocol.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/control/reply_check.h"
#include "tests/standins/standins.h"
#include "tunnel/tunnel_controller.h"

namespace {

namespace t2p = brumo::tun2proxy_standin;
namespace engine = brumo::wfp_standin;

[[noreturn]] void Fail(const char* what, std::string_view reply) {
  std::fprintf(stderr, "invariant broken: %s\nreply (%zu bytes): %.*s\n", what, reply.size(),
               static_cast<int>(reply.size()), reply.data());
  std::abort();
}

// Throws the kind of exception `kind` selects.
[[noreturn]] void Throw(std::size_t kind) {
  if (kind == 0) throw std::bad_alloc();
  if (kind == 1) throw std::runtime_error("thrown under the controller");
  throw 42;
}

// Brings `controller` down and sets the stand-ins up for `input`. Returns whether a
// controller call may throw.
// No hook is set on entry: the previous input cleared them.
bool ChooseState(std::string_view input, brumo::TunnelController& controller) {
  controller.Stop();
  brumo::standins::ResetStandIns(/*virtual_clock=*/true);
  const std::size_t mode = input.size() % 8;
  const std::size_t kind = (input.size() / 8) % 3;
  const auto start = [&] {
    if (!controller.Start().ok) Fail("the tunnel did not start", "");
  };
  const auto throw_in_guard = [kind] {
    engine::SetHook([kind](engine::Op op, int) {
      if (op == engine::Op::kAddFilter) Throw(kind);
    });
  };
  switch (mode) {
    case 0:
      break;
    case 1:
      start();
      break;
    case 2:  // every lookup of the adapter fails with the raw input as its text
      brumo::interfaces_standin::SetLookupHook([text = std::string(input)](std::string_view) {
        return std::optional<brumo::InterfaceIndexResult>({0, text, false});
      });
      break;
    case 3:  // the start throws: no thread, or an exception inside the guard
      if (kind == 0) {
        brumo::platform_standin::FailNextLaunch();
      } else {
        throw_in_guard();
      }
      break;
    case 4:  // the stop throws
      start();
      t2p::SetStopHook([kind] { Throw(kind); });
      break;
    case 5:  // the tunnel ends at once
      t2p::SetRunMode(t2p::RunMode::kReturn);
      break;
    case 6:  // running, with a guard that would fail a second enable
      start();
      engine::FailAt(engine::Op::kOpenEngine, 2, 5);
      break;
    default:  // the start and the stop throw
      throw_in_guard();
      t2p::SetStopHook([kind] { Throw(kind); });
      break;
  }
  return mode == 3 || mode == 4 || mode == 7;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The stand-ins' state first, then the guard: each must outlive what is made after it,
  // which at exit still calls into it (the controller's destructor stops its tunnel).
  [[maybe_unused]] static const bool stand_ins_made = (brumo::standins::ResetStandIns(true), true);
  static brumo::DnsLeakGuard guard;
  static brumo::TunnelController controller(&guard);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool controller_throws = ChooseState(input, controller);
  std::string reply;
  try {
    reply = brumo::ProcessRequest(input, controller);
  } catch (...) {
    Fail("exception escaped ProcessRequest", "");
  }
  if (const char* fault = brumo::test_support::ReplyFault(reply)) Fail(fault, reply);
  // Only an exception out of the controller may lead to an internal error; everything the
  // request alone can cause has a reply of its own.
  if (!controller_throws && reply.find(R"({"message":"Internal error: )") == 0) {
    Fail("internal error without a throwing controller", reply);
  }
  // Nothing may throw from under the controller once the input is done: the next input,
  // or the controller's destructor at exit, stops what is left.
  engine::SetHook(nullptr);
  t2p::SetStopHook(nullptr);
  return 0;
}
