// Link-time stand-in for the interface lookup seam; see fake_interface_lookup.h.
#include "tests/fakes/interfaces/fake_interface_lookup.h"

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "dnsguard/failure_text.h"

namespace brumo {
namespace fake_interfaces {
namespace {

struct State {
  std::mutex mutex;
  std::map<std::string, std::uint32_t, std::less<>> table;
  std::deque<InterfaceIndexResult> script;
  std::vector<std::string> aliases;
};

State& TheState() {
  static State state;
  return state;
}

}  // namespace

void Reset() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.table.clear();
  state.script.clear();
  state.aliases.clear();
}

void SetInterface(std::string_view alias, std::uint32_t index) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.table[std::string(alias)] = index;
}

void RemoveInterface(std::string_view alias) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const auto it = state.table.find(alias);
  if (it != state.table.end()) state.table.erase(it);
}

void Script(std::vector<InterfaceIndexResult> results) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  for (InterfaceIndexResult& result : results) state.script.push_back(std::move(result));
}

InterfaceIndexResult ConversionFailure() {
  return {0, "Failed to convert interface alias to wide string", false};
}

InterfaceIndexResult AliasFailure(std::uint32_t status) {
  return {0, FormatFailure("ConvertInterfaceAliasToLuid", status), false};
}

InterfaceIndexResult IndexFailure(std::uint32_t status) {
  return {0, FormatFailure("ConvertInterfaceLuidToIndex", status), false};
}

int LookupCount() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return static_cast<int>(state.aliases.size());
}

std::vector<std::string> LookedUpAliases() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.aliases;
}

}  // namespace fake_interfaces

InterfaceIndexResult ResolveTunnelInterface(std::string_view alias) {
  fake_interfaces::State& state = fake_interfaces::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.aliases.emplace_back(alias);
  if (!state.script.empty()) {
    InterfaceIndexResult next = std::move(state.script.front());
    state.script.pop_front();
    return next;
  }
  if (alias.empty()) return fake_interfaces::ConversionFailure();
  const auto it = state.table.find(alias);
  if (it == state.table.end()) return fake_interfaces::AliasFailure();
  return {it->second, std::string(), true};
}

}  // namespace brumo
