// What every reply of the command protocol must be, whatever the request: one compact JSON
// object in valid UTF-8 with "status" "ok" or "error" and a string "message", and
// "running" only beside an "ok" status whose message it agrees with. The protocol test
// and its fuzzer both judge replies by it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "control/utf8_repair.h"

namespace brumo::test_support {

// The first rule `reply` breaks, or nullptr.
inline const char* ReplyFault(const std::string& reply) {
  if (!IsValidUtf8(reply)) return "not valid UTF-8";
  const auto parsed = nlohmann::json::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return "not a JSON object";
  const auto status = parsed.find("status");
  if (status == parsed.end() || !status->is_string()) return "no string \"status\"";
  if (*status != "ok" && *status != "error") return "\"status\" neither ok nor error";
  const auto message = parsed.find("message");
  if (message == parsed.end() || !message->is_string()) return "no string \"message\"";
  const auto running = parsed.find("running");
  if (parsed.size() != (running == parsed.end() ? 2u : 3u)) return "unexpected members";
  if (running != parsed.end()) {
    if (!running->is_boolean() || *status != "ok") return "bad \"running\"";
    if (*message != (running->get<bool>() ? "active" : "inactive")) {
      return "\"message\" disagrees with \"running\"";
    }
  }
  // Compact, sorted and raw UTF-8: serialising the parsed reply again gives the same bytes.
  if (parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict) != reply) {
    return "not in compact form";
  }
  return nullptr;
}

}  // namespace brumo::test_support
