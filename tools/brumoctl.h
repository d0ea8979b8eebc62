// brumoctl: a console client that sends one request to the BrumoVPN service over its
// control pipe and prints the reply. Everything here is platform-free; the pipe and the
// SCM queries are in tools/ctl_transport.h.
//
//   brumoctl [--no-verify] start|stop|active
//   brumoctl [--no-verify] send '<raw request>'
//
// Exit status: 0 when the reply's "status" is "ok", 1 when it is "error", 2 when there
// was no usable reply (the reason goes to standard error, one line).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/ctl_transport.h"

namespace brumo {
namespace ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitServiceError = 1;
inline constexpr int kExitNoReply = 2;

// Opening the pipe: a busy pipe is waited for (WaitNamedPipeW, kBusyWaitMs each time) and
// opened again, kMaxOpenAttempts opens in all. The service serves one client at a time and
// a "start" may take several seconds, hence the total of about ten seconds.
inline constexpr int kMaxOpenAttempts = 10;
inline constexpr std::uint32_t kBusyWaitMs = 1000;
// Pause before another open when there was nothing to wait on (no pipe, or the wait
// failed at once).
inline constexpr std::uint32_t kRetryPauseMs = 100;
// Opens in a row that find no pipe at all before brumoctl says the service is not running
// (or, when the pipe was busy before, that it went away). At the last attempt one is
// enough.
inline constexpr int kNotFoundOpens = 3;

// Platform error codes that change the course of a run (winerror.h).
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPipeBusy = 231;
inline constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;

struct Options {
  std::string request;  // the bytes to send
  bool verify = true;   // check the pipe's server against the installed service
};

struct ParsedArguments {
  enum class Kind { kRun, kHelp, kUsageError };
  Kind kind = Kind::kUsageError;
  Options options;    // kRun
  std::string error;  // kUsageError: what is wrong, one line
};

// `args` are the arguments after the program name. `--no-verify` may stand anywhere except
// where the raw request of `send` is expected; that argument is taken verbatim.
ParsedArguments ParseArguments(const std::vector<std::string>& args);

// {"command":"<command>"}
std::string BuildRequest(std::string_view command);

struct ReplyVerdict {
  int exit_code = kExitNoReply;
  std::string reason;  // why the reply is not usable; empty for kExitOk and kExitServiceError
};
ReplyVerdict ClassifyReply(std::string_view reply);

// Whether the pipe's server may be trusted with the request: nothing when the service is
// not installed, or when the pipe's server process is the service's process; otherwise the
// reason to refuse. `pipe_server_error` is the outcome of QueryPipeServerProcess.
std::optional<std::string> CheckPipeServer(const ServiceProcessQuery& service,
                                           std::uint32_t pipe_server_error,
                                           std::uint32_t pipe_server_process_id);

std::string UsageText();

struct Outcome {
  int exit_code = kExitNoReply;
  std::string out;  // for standard output
  std::string err;  // for standard error
};

// The whole run: parse, connect, verify, send, read until the server disconnects (within
// the bounds of ctl_transport.h), classify. Uses the transport; never throws for anything the
// service or pipe does.
Outcome RunClient(const std::vector<std::string>& args);

}  // namespace ctl
}  // namespace brumo
