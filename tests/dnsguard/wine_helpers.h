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
  std::uint32_t value = 0;  // left 0 when the file cannot be read
  std::ifstream("Z:\\sys\\class\\net\\brumotun\\ifindex") >> value;
  return value;
}

// An interface that resolves under Wine: the TUN device when present, else loopback.
inline const char* ResolvableAlias() { return LinuxTunIndex() != 0 ? "brumotun" : "lo"; }

}  // namespace brumo
