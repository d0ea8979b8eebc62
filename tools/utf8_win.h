// UTF-16 text of the platform as UTF-8. For brumoctl's *_win.cpp files only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace brumo::ctl {

// The UTF-8 form of `text`; empty for empty text.
inline std::string Utf8FromWide(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), size, nullptr, nullptr);
  return utf8;
}

}  // namespace brumo::ctl
