#include "tools/brumoctl.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "common/failure_text.h"
#include "common/scope_exit.h"
#include "control/control_names.h"

namespace brumo {
namespace ctl {
namespace {

constexpr std::string_view kPipeDisplayName = "\\\\.\\pipe\\BrumoVPN";

bool IsPlainCommand(std::string_view word) {
  return word == "start" || word == "stop" || word == "active";
}

ParsedArguments UsageError(std::string error) {
  ParsedArguments parsed;
  parsed.kind = ParsedArguments::Kind::kUsageError;
  parsed.error = std::move(error);
  return parsed;
}

Outcome NoReply(std::string_view reason) {
  Outcome outcome;
  outcome.exit_code = kExitNoReply;
  outcome.err = fmt::format("brumoctl: {}\n", reason);
  return outcome;
}

// "<call> failed: <error> (<the system's words for it>)".
std::string Failed(std::string_view call, std::uint32_t error) {
  return FormatFailure(call, error, SystemErrorText(error));
}

// Opens the pipe, waiting out a busy server; an empty text when connected, else the reason.
std::string Connect() {
  bool busy_seen = false;
  int not_found = 0;
  for (int attempt = 1;; ++attempt) {
    const std::uint32_t error = OpenControlPipe();
    if (error == 0) return {};
    if (error == kErrorPipeBusy) {
      busy_seen = true;
      not_found = 0;
    } else if (error == kErrorFileNotFound) {
      // The service keeps its pipe from its start to its stop, so a pipe that is not found
      // kNotFoundOpens times in a row is a service that is not running; one that was busy
      // before has gone away meanwhile.
      ++not_found;
    } else {
      return "cannot reach the service: " + Failed("CreateFileW", error);
    }
    if (not_found >= kNotFoundOpens || (attempt == kMaxOpenAttempts && not_found > 0)) {
      if (busy_seen) {
        return fmt::format(
            "cannot reach the service: {} went away while it was busy (the service stopped; is "
            "BrumoVPN running?)",
            kPipeDisplayName);
      }
      return fmt::format("cannot reach the service: {} not found (is BrumoVPN running?)",
                         kPipeDisplayName);
    }
    if (attempt == kMaxOpenAttempts) {
      return fmt::format("cannot reach the service: {} still busy after {} attempts",
                         kPipeDisplayName, kMaxOpenAttempts);
    }
    if (error != kErrorPipeBusy || !WaitForControlPipe(kBusyWaitMs)) PauseMs(kRetryPauseMs);
  }
}

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  bool verify = true;
  std::string command;
  std::optional<std::string> raw;
  for (const std::string& arg : args) {
    if (command == "send" && !raw) {
      raw = arg;
    } else if (arg == "--no-verify") {
      verify = false;
    } else if (arg == "-h" || arg == "--help") {
      parsed.kind = ParsedArguments::Kind::kHelp;
      return parsed;
    } else if (!command.empty()) {
      return UsageError(fmt::format("unexpected argument \"{}\"", arg));
    } else if (arg == "send" || IsPlainCommand(arg)) {
      command = arg;
    } else if (arg.starts_with("-")) {
      return UsageError(fmt::format("unknown option \"{}\"", arg));
    } else {
      return UsageError(fmt::format("unknown command \"{}\"", arg));
    }
  }
  if (command.empty()) return UsageError("no command given");
  if (command == "send" && !raw) return UsageError("send needs the raw request");
  // A zero-byte write would leave the server's read waiting for bytes that never come.
  if (command == "send" && raw->empty()) return UsageError("send needs a non-empty request");

  parsed.kind = ParsedArguments::Kind::kRun;
  parsed.options.request = command == "send" ? *raw : BuildRequest(command);
  parsed.options.verify = verify;
  return parsed;
}

std::string BuildRequest(std::string_view command) {
  return nlohmann::json{{"command", command}}.dump();
}

ReplyVerdict ClassifyReply(std::string_view reply) {
  const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    return {kExitNoReply, "the reply is not a JSON object"};
  }
  const auto status = parsed.find("status");
  if (status != parsed.end() && status->is_string()) {
    if (*status == "ok") return {kExitOk, {}};
    if (*status == "error") return {kExitServiceError, {}};
  }
  return {kExitNoReply, "the reply has no \"status\" of \"ok\" or \"error\""};
}

std::optional<std::string> CheckPipeServer(const ServiceProcessQuery& service,
                                           std::uint32_t pipe_server_error,
                                           std::uint32_t pipe_server_process_id) {
  // Not installed: there is no service process to compare with.
  if (service.error == kErrorServiceDoesNotExist) return std::nullopt;
  if (service.error != 0) {
    return fmt::format("cannot verify the pipe's server: {}; --no-verify skips the check",
                       Failed(service.failed_call, service.error));
  }
  if (pipe_server_error != 0) {
    return fmt::format("cannot verify the pipe's server: {}; --no-verify skips the check",
                       Failed("GetNamedPipeServerProcessId", pipe_server_error));
  }
  if (service.process_id == 0) {
    return fmt::format(
        "refusing to send: the BrumoVPN service is not running, yet process {} serves {}",
        pipe_server_process_id, kPipeDisplayName);
  }
  if (pipe_server_process_id != service.process_id) {
    return fmt::format(
        "refusing to send: {} is served by process {}, not by the BrumoVPN service (process {})",
        kPipeDisplayName, pipe_server_process_id, service.process_id);
  }
  return std::nullopt;
}

std::string UsageText() {
  return "usage: brumoctl [--no-verify] start|stop|active\n"
         "       brumoctl [--no-verify] send '<raw request>'\n"
         "Sends one request to the BrumoVPN service over \\\\.\\pipe\\BrumoVPN and prints the\n"
         "reply. Exit status: 0 on \"status\" \"ok\", 1 on \"error\", 2 when there was no usable\n"
         "reply (the reason goes to standard error).\n"
         "  --no-verify  skip the check that the pipe is served by the installed service\n";
}

Outcome RunClient(const std::vector<std::string>& args) {
  const ParsedArguments parsed = ParseArguments(args);
  if (parsed.kind == ParsedArguments::Kind::kHelp) return {kExitOk, UsageText(), {}};
  if (parsed.kind == ParsedArguments::Kind::kUsageError) {
    return NoReply(fmt::format("{} (try brumoctl --help)", parsed.error));
  }

  // The service reads one request of at most kMaxRequestBytes and acts on what that read
  // returned: a longer one would be answered for its beginning.
  if (parsed.options.request.size() > kMaxRequestBytes) {
    return NoReply(fmt::format("the request is {} bytes; the service takes at most {}",
                               parsed.options.request.size(), kMaxRequestBytes));
  }

  const std::string connect_failure = Connect();
  if (!connect_failure.empty()) return NoReply(connect_failure);
  // Closed on every way out once it is open.
  const ScopeExit close_pipe([] { CloseControlPipe(); });

  // Anyone may create a pipe of the service's name while the service is down; check who
  // serves it before handing over the request.
  if (parsed.options.verify) {
    const ServiceProcessQuery service = QueryServiceProcess();
    std::uint32_t server_process_id = 0;
    const std::uint32_t server_error = QueryPipeServerProcess(&server_process_id);
    if (auto refusal = CheckPipeServer(service, server_error, server_process_id)) {
      return NoReply(*refusal);
    }
  }

  if (const PipeIo io = WriteControlPipe(parsed.options.request); io.error != 0) {
    if (io.error == kErrorTimeout && io.failed_call == "WriteFile") {
      return NoReply(fmt::format("cannot send the request: the service did not take it within {} s",
                                 kReplyTimeoutMs / 1000));
    }
    return NoReply("cannot send the request: " + Failed(io.failed_call, io.error));
  }
  std::string reply;
  if (const PipeIo io = ReadControlPipe(&reply); io.error != 0) {
    if (io.error == kErrorTimeout && io.failed_call == "ReadFile") {
      return NoReply(fmt::format("no complete reply within {} s (the service holds the connection)",
                                 kReplyTimeoutMs / 1000));
    }
    if (io.error == kErrorMoreData && io.failed_call == "ReadFile") {
      return NoReply(fmt::format("the reply is longer than {} bytes", kMaxReplyBytes));
    }
    return NoReply("cannot read the reply: " + Failed(io.failed_call, io.error));
  }
  if (reply.empty()) return NoReply("the service closed the connection without a reply");

  const ReplyVerdict verdict = ClassifyReply(reply);
  Outcome outcome;
  outcome.exit_code = verdict.exit_code;
  outcome.out = reply + "\n";
  if (!verdict.reason.empty()) outcome.err = fmt::format("brumoctl: {}\n", verdict.reason);
  return outcome;
}

}  // namespace ctl
}  // namespace brumo
