// The one format of "<operation> failed: <status>" texts in this subsystem.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace brumo {

// Platform statuses are written as unsigned 32-bit decimal numbers (0x80320009 reads
// "2150760457"), whatever signed type the platform call returned.
inline std::string FormatFailure(std::string_view operation, std::uint32_t status) {
  return fmt::format("{} failed: {}", operation, status);
}

}  // namespace brumo
