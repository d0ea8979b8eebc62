// Link-time seam: one lookup of a network interface by its alias. The product binds
// interface_lookup_win.cpp (kernel32 and iphlpapi); tests bind a table of their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brumo {

// Outcome of one lookup or of the wait for an interface.
struct InterfaceIndexResult {
  std::uint32_t index = 0;  // NET_IFINDEX of the interface; 0 unless ok
  std::string message;      // UTF-8; empty on success
  bool ok = false;
};

// Looks `alias` (UTF-8, need not be NUL-terminated) up once: alias to LUID, LUID to index.
// Fails with "Failed to convert interface alias to wide string",
// "ConvertInterfaceAliasToLuid failed: <status>" or
// "ConvertInterfaceLuidToIndex failed: <status>". Never throws for a failed lookup; keeps
// no state, so any thread may call it.
InterfaceIndexResult ResolveTunnelInterface(std::string_view alias);

}  // namespace brumo
