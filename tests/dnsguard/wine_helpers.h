// Helpers of the Windows-only tests that run under Wine.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace brumo {

inline constexpr char kTunSkipText[] = "TUN device brumotun not present (needs root)";

// Wine shows each Linux interface under its Linux name and index. The index of the TUN
// device "brumotun" as Linux gives it (read through Wine's Z: drive), or 0 when absent.
inline std::uint32_t LinuxTunIndex() {
  std::ifstream in("Z:\\sys\\class\\net\\brumotun\\ifindex");
  unsigned long value = 0;
  if (in >> value) return static_cast<std::uint32_t>(value);
  return 0;
}

// An interface that resolves under Wine: the TUN device when present, else loopback.
inline const char* ResolvableAlias() { return LinuxTunIndex() != 0 ? "brumotun" : "lo"; }

}  // namespace brumo
