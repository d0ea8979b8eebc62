// The outcome record shared by the tunnel controller, the DNS leak guard and the command
// protocol. Expected failures travel as values; callers pass the message on unchanged.
#pragma once

#include <string>
#include <utility>

namespace brumo {

struct OpResult {
  std::string message;  // empty on success
  bool ok = false;

  static OpResult Success() { return OpResult{std::string(), true}; }
  static OpResult Failure(std::string text) { return OpResult{std::move(text), false}; }
};

}  // namespace brumo
