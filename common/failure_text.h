// The one formatter of failure texts that carry a platform status.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace brumo {

// How the status follows the operation's name.
enum class StatusStyle {
  kColon,          // "<operation> failed: <status>"
  kParenthesised,  // "<operation> failed (<status>)"
};

// Platform statuses are written as unsigned 32-bit decimal numbers (0x80320009 reads
// "2150760457"), whatever signed type the platform call returned.
inline std::string FormatFailure(std::string_view operation, std::uint32_t status,
                                 StatusStyle style = StatusStyle::kColon) {
  if (style == StatusStyle::kParenthesised) {
    return fmt::format("{} failed ({})", operation, status);
  }
  return fmt::format("{} failed: {}", operation, status);
}

// "<operation> failed: <status> (<text>)", with the platform's own words for the status;
// without them (an empty `system_text`) the colon style alone.
inline std::string FormatFailure(std::string_view operation, std::uint32_t status,
                                 std::string_view system_text) {
  std::string text = FormatFailure(operation, status);
  if (system_text.empty()) return text;
  return fmt::format("{} ({})", text, system_text);
}

}  // namespace brumo
