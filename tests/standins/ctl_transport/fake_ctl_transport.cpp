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

void Log(std::string call) { TheState().calls.push_back(std::move(call)); }

}  // namespace

void Reset(Script script) {
  TheState().script = std::move(script);
  TheState().calls.clear();
}

std::vector<std::string> Calls() { return TheState().calls; }

}  // namespace fake_transport

namespace ft = fake_transport;

std::uint32_t OpenControlPipe() {
  ft::Log("open");
  auto& results = ft::TheState().script.open_results;
  if (results.empty()) return 0;
  const std::uint32_t result = results.front();
  results.pop_front();
  return result;
}

bool WaitForControlPipe(std::uint32_t timeout_ms) {
  ft::Log("wait " + std::to_string(timeout_ms));
  return ft::TheState().script.wait_result;
}

void PauseMs(std::uint32_t ms) { ft::Log("pause " + std::to_string(ms)); }

std::uint32_t QueryPipeServerProcess(std::uint32_t* process_id) {
  ft::Log("query pipe server");
  const ft::Script& script = ft::TheState().script;
  if (script.pipe_server_error != 0) return script.pipe_server_error;
  *process_id = script.pipe_server_process_id;
  return 0;
}

std::uint32_t WriteControlPipe(std::string_view bytes) {
  ft::Log("write " + std::string(bytes));
  return ft::TheState().script.write_error;
}

std::uint32_t ReadControlPipe(std::string* reply) {
  ft::Log("read");
  const ft::Script& script = ft::TheState().script;
  if (script.read_error != 0) return script.read_error;
  *reply = script.reply;
  return 0;
}

void CloseControlPipe() { ft::Log("close"); }

ServiceProcessQuery QueryServiceProcess() {
  ft::Log("query service");
  return ft::TheState().script.service;
}

}  // namespace ctl
}  // namespace brumo
