// Control of the interface lookup stand-in (interfaces_standin.cpp), which defines
// ResolveTunnelInterface for tests. A lookup first runs the hook, if any, then takes the
// next scripted result, if any; otherwise it answers from an alias-to-index table the way
// the platform does: an empty alias fails the conversion, an unknown alias fails
// ConvertInterfaceAliasToLuid with ERROR_INVALID_PARAMETER (87).
//
// State is process-wide. All functions are thread-safe. Reset between tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/failure_text.h"
#include "dnsguard/interface_lookup.h"

namespace brumo::interfaces_standin {

inline constexpr std::uint32_t kAliasNotFoundStatus = 87;

// Empty table, no script, no hook, no lookups recorded.
void Reset();

void SetInterface(std::string_view alias, std::uint32_t index);
void RemoveInterface(std::string_view alias);
// Whether the table holds `alias` (no lookup: nothing recorded, no hook or script used).
bool HasInterface(std::string_view alias);
// Results returned by the next lookups, in order, whatever the alias.
void Script(std::vector<InterfaceIndexResult> results);
// Runs at the start of every lookup, on the caller's thread and outside the stand-in's
// lock: it may wait, throw, or answer the lookup itself by returning a result.
void SetLookupHook(std::function<std::optional<InterfaceIndexResult>(std::string_view)> hook);

// The failures the platform lookup gives (also those of interfaces_linux.cpp).
inline InterfaceIndexResult ConversionFailure() {
  return {0, "Failed to convert interface alias to wide string", false};
}
inline InterfaceIndexResult AliasFailure(std::uint32_t status = kAliasNotFoundStatus) {
  return {0, FormatFailure("ConvertInterfaceAliasToLuid", status), false};
}
inline InterfaceIndexResult IndexFailure(std::uint32_t status) {
  return {0, FormatFailure("ConvertInterfaceLuidToIndex", status), false};
}

// Aliases looked up, in order (one per lookup).
std::vector<std::string> LookedUpAliases();

}  // namespace brumo::interfaces_standin
