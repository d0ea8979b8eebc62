// Windows-only helpers of the interface lookup (interface_lookup_win.cpp).
#pragma once

#include <string>
#include <string_view>

namespace brumo {

// The UTF-16 text of the UTF-8 `text`, all of its bytes counted (a NUL among them is
// converted like any other character, an invalid sequence becomes U+FFFD). Empty for an
// empty input (without any platform call) and one of more than INT_MAX bytes. Thread-safe.
std::wstring Utf8ToWide(std::string_view text);

}  // namespace brumo
