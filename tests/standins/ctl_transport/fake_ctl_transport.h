// Scripted stand-in for tools/ctl_transport.h: each call takes its answer from the script
// and is appended to a call log. Main thread only, like the real transport.
//
// Calls, as logged: "open", "wait <ms>", "pause <ms>", "query pipe server",
// "query service", "write <bytes>", "read", "close". SystemErrorText answers
// "text of <error>", unlogged.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/ctl_transport.h"

namespace brumo {
namespace ctl {
namespace fake_transport {

// By default: the pipe opens at once and is served by the running service (process 4242),
// which takes the request and replies {"status":"ok"}.
struct Script {
  // Results of successive opens; when used up, every further open succeeds.
  std::deque<std::uint32_t> open_results{};
  bool wait_result = true;
  std::uint32_t pipe_server_error = 0;
  std::uint32_t pipe_server_process_id = 4242;
  ServiceProcessQuery service{0, "", 4242};
  std::uint32_t write_error = 0;
  std::uint32_t read_error = 0;
  bool wait_fails = false;  // the error of the write or read is that of the wait for it
  std::string reply = R"({"status":"ok"})";  // what the read returns before the "disconnect"
};

// Replaces the script and empties the log.
void Reset(Script script);
std::vector<std::string> Calls();

}  // namespace fake_transport
}  // namespace ctl
}  // namespace brumo
