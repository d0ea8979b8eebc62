// Link-time stand-in for the interface lookup seam; see interfaces_standin.h.
#include "tests/standins/interfaces/interfaces_standin.h"

#include <deque>

#include "tests/standins/guarded.h"

namespace brumo {
namespace interfaces_standin {
namespace {

struct State {
  std::map<std::string, std::uint32_t, std::less<>> table;
  std::deque<InterfaceIndexResult> script;
  std::function<std::optional<InterfaceIndexResult>(std::string_view)> hook;
  std::vector<std::string> aliases;
};

auto& The() { return standins::TheState<State>(); }

}  // namespace

void Reset() {
  The()([](State& s) { s = State(); });
}
void SetInterface(std::string_view alias, std::uint32_t index) {
  The()([&](State& s) { s.table[std::string(alias)] = index; });
}
void RemoveInterface(std::string_view alias) {
  The()([&](State& s) { s.table.erase(std::string(alias)); });
}
bool HasInterface(std::string_view alias) {
  return The()([&](const State& s) { return s.table.contains(alias); });
}
void Script(std::vector<InterfaceIndexResult> results) {
  The()([&](State& s) { s.script.insert(s.script.end(), results.begin(), results.end()); });
}
void SetLookupHook(std::function<std::optional<InterfaceIndexResult>(std::string_view)> hook) {
  The().Set(&State::hook, std::move(hook));
}

std::vector<std::string> LookedUpAliases() { return The().Get(&State::aliases); }

const standins::ResetWhenLinked registered(&Reset);

}  // namespace interfaces_standin

InterfaceIndexResult ResolveTunnelInterface(std::string_view alias) {
  namespace standin = interfaces_standin;
  const auto hook = standin::The()([&](standin::State& s) {
    s.aliases.emplace_back(alias);
    return s.hook;
  });
  if (hook) {
    if (std::optional<InterfaceIndexResult> answer = hook(alias)) return std::move(*answer);
  }
  return standin::The()([&](standin::State& s) -> InterfaceIndexResult {
    if (!s.script.empty()) {
      InterfaceIndexResult next = std::move(s.script.front());
      s.script.pop_front();
      return next;
    }
    if (alias.empty()) return standin::ConversionFailure();
    const auto it = s.table.find(alias);
    if (it == s.table.end()) return standin::AliasFailure();
    return {it->second, std::string(), true};
  });
}

}  // namespace brumo
