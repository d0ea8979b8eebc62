// The one conversion between the platform's UTF-16 and UTF-8 (or another code page), both
// ways. Windows only. Every character of the view is converted, a NUL among them like any
// other; an invalid sequence becomes U+FFFD (no MB_ERR_INVALID_CHARS). Empty for an empty
// input (without any platform call) and for one longer than INT_MAX. Thread-safe.
#pragma once

#include <windows.h>

#include <climits>
#include <string>
#include <string_view>

namespace brumo {

// The UTF-16 text of `text` in UTF-8, or in `code_page` (CP_ACP: as a program receives argv).
inline std::wstring Widen(std::string_view text, UINT code_page = CP_UTF8) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  // The length goes to the platform as an int: there is no terminator to stop at.
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  ::MultiByteToWideChar(code_page, 0, text.data(), length, wide.data(), needed);
  return wide;
}

// `text` in UTF-8, or in `code_page` (CP_ACP: as a program receives it in argv).
inline std::string Narrow(std::wstring_view text, UINT code_page = CP_UTF8) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int needed =
      ::WideCharToMultiByte(code_page, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(code_page, 0, text.data(), length, narrow.data(), needed, nullptr, nullptr);
  return narrow;
}

}  // namespace brumo
