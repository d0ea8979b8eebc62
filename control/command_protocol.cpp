// The command protocol: the bytes of one request to the bytes of one reply. Runs on the
// pipe server thread and touches no platform interface.
//
// Error replies beyond the fixed texts of the protocol:
//   - The JSON library's exceptions: "JSON parse error: " + the exception's text. The
//     library's parse errors quote the last bytes read verbatim, which may cut a multi-byte
//     character or carry invalid UTF-8 from the request; each ill-formed piece of the text is
//     replaced by U+FFFD so that the reply can be serialised, and the rest is kept.
//   - Any other exception out of parsing, a handler or serialisation (std::system_error when
//     the controller cannot create its worker thread, std::bad_alloc, ...):
//     "Internal error: " + what(), repaired the same way; an exception of a type not
//     derived from std::exception gives "Internal error: unknown exception".
//   - An empty request (also one of only CR and LF bytes) is answered with the empty-input
//     parse error in the wording of nlohmann/json 3.12, kEmptyInputError, whichever version
//     of the library the build uses: 3.11 words it differently, and clients may match it.
//   - Should even that reply fail to be built (memory exhausted), the fixed text
//     kLastResortReply is returned, and when not even its 60 bytes can be allocated, an
//     empty text: ProcessRequest itself never throws.
#include "control/command_protocol.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "control/utf8_repair.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using nlohmann::json;

constexpr std::string_view kJsonErrorPrefix = "JSON parse error: ";
constexpr std::string_view kUnknownCommandPrefix = "Unknown command: ";
constexpr std::string_view kInternalErrorPrefix = "Internal error: ";
constexpr std::string_view kUnknownExceptionText = "unknown exception";
constexpr std::string_view kEmptyInputError =
    "[json.exception.parse_error.101] parse error at line 1, column 1: attempting to parse an "
    "empty input; check that your input string or stream contains the expected JSON";
constexpr std::string_view kLastResortReply =
    R"({"message":"Internal error: out of memory","status":"error"})";

std::string ValidUtf8(std::string text) {
  if (IsValidUtf8(text)) return text;
  return RepairUtf8(text);
}

// The default object type keeps members sorted by key, so the serialised order is
// "message", "running", "status" however the object is built.
json MakeReply(const char* status, std::string message) {
  return json{{"message", ValidUtf8(std::move(message))}, {"status", status}};
}

json MakeErrorReply(std::string_view prefix, std::string_view text) {
  std::string message;
  message.reserve(prefix.size() + text.size());
  message.append(prefix).append(text);
  return MakeReply("error", std::move(message));
}

std::string Serialize(const json& reply) {
  return reply.dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::strict);
}

std::string InternalErrorReply(std::string_view text) noexcept {
  try {
    return Serialize(MakeErrorReply(kInternalErrorPrefix, text));
  } catch (...) {
  }
  try {
    return std::string(kLastResortReply);
  } catch (...) {
    // Not even 60 bytes could be allocated; an empty reply is all that is left.
    return std::string();
  }
}

json HandleStart(TunnelController& controller) {
  OpResult result = controller.Start();
  if (result.ok) return MakeReply("ok", "VPN started successfully");
  return MakeReply("error", std::move(result.message));
}

json HandleStop(TunnelController& controller) {
  OpResult result = controller.Stop();
  if (result.ok) return MakeReply("ok", "VPN stopped successfully");
  return MakeReply("error", std::move(result.message));
}

json HandleStatus(const TunnelController& controller) {
  // One reading feeds both members, so "message" and "running" always agree.
  const bool running = controller.GetStatus().running;
  return json{{"message", running ? "active" : "inactive"}, {"running", running}, {"status", "ok"}};
}

// Routes a parsed request to its handler, or builds an error reply. Throws the JSON
// library's type error 302 when "command" is not a string.
json HandleCommand(const json& request, TunnelController& controller) {
  if (request.is_object()) {
    const auto member = request.find("command");
    if (member != request.end()) {
      const auto command = member->get<std::string>();
      if (command == "start") return HandleStart(controller);
      if (command == "stop") return HandleStop(controller);
      if (command == "active") return HandleStatus(controller);
      return MakeErrorReply(kUnknownCommandPrefix, command);
    }
  }
  return MakeReply("error", "Missing 'command' field");
}

}  // namespace

std::string ProcessRequest(std::string_view request, TunnelController& controller) {
  try {
    while (!request.empty() && (request.back() == '\n' || request.back() == '\r')) {
      request.remove_suffix(1);
    }
    if (request.empty()) return Serialize(MakeErrorReply(kJsonErrorPrefix, kEmptyInputError));
    json reply;
    try {
      reply = HandleCommand(json::parse(request, /*cb=*/nullptr, /*allow_exceptions=*/true,
                                        /*ignore_comments=*/false),
                            controller);
    } catch (const json::exception& e) {
      reply = MakeErrorReply(kJsonErrorPrefix, e.what());
    }
    // Every string in `reply` is valid UTF-8 by now, so the strict serialiser does not
    // throw on encoding; anything it still throws is answered below.
    return Serialize(reply);
  } catch (const std::exception& e) {
    return InternalErrorReply(e.what());
  } catch (...) {
    return InternalErrorReply(kUnknownExceptionText);
  }
}

}  // namespace brumo
