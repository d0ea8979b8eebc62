// Scripted transport for brumoctl's tests; see fake_ctl_transport.h.
#include "tests/standins/ctl_transport/fake_ctl_transport.h"

#include <string_view>
#include <utility>

namespace brumo {
namespace ctl {
namespace fake_transport {
namespace {

struct State {
  Script script;
  std::vector<std::string> calls;
};

State& TheState() {
  static State state;
  return state;
}

// Logs `call` and gives the script to answer it from.
Script& Logged(std::string call) {
  TheState().calls.push_back(std::move(call));
  return TheState().script;
}

// The transfer's own call, or the wait for it when the script fails the wait.
PipeIo Io(const Script& script, std::uint32_t error, const char* call) {
  return {error, script.wait_fails ? "WaitForSingleObject" : call};
}

}  // namespace

void Reset(Script script) { TheState() = State{std::move(script), {}}; }
std::vector<std::string> Calls() { return TheState().calls; }

}  // namespace fake_transport

using fake_transport::Io;
using fake_transport::Logged;

std::uint32_t OpenControlPipe() {
  auto& results = Logged("open").open_results;
  if (results.empty()) return 0;
  const std::uint32_t result = results.front();
  results.pop_front();
  return result;
}

bool WaitForControlPipe(std::uint32_t timeout_ms) {
  return Logged("wait " + std::to_string(timeout_ms)).wait_result;
}

void PauseMs(std::uint32_t ms) { Logged("pause " + std::to_string(ms)); }

std::uint32_t QueryPipeServerProcess(std::uint32_t* process_id) {
  const fake_transport::Script& script = Logged("query pipe server");
  if (script.pipe_server_error == 0) *process_id = script.pipe_server_process_id;
  return script.pipe_server_error;
}

PipeIo WriteControlPipe(std::string_view bytes) {
  const fake_transport::Script& script = Logged("write " + std::string(bytes));
  return Io(script, script.write_error, "WriteFile");
}

PipeIo ReadControlPipe(std::string* reply) {
  const fake_transport::Script& script = Logged("read");
  if (script.read_error == 0) *reply = script.reply;
  return Io(script, script.read_error, "ReadFile");
}

void CloseControlPipe() { Logged("close"); }

ServiceProcessQuery QueryServiceProcess() { return Logged("query service").service; }

std::string SystemErrorText(std::uint32_t error) { return "text of " + std::to_string(error); }

}  // namespace ctl
}  // namespace brumo
