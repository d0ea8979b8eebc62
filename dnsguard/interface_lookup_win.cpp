// The interface lookup on Windows: kernel32 for the code-page conversion, iphlpapi for
// alias to LUID to index.
// Winsock's headers first: the Windows SDK declares the netioapi functions that
// iphlpapi.h brings in only once the Winsock definitions are known.
#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include <climits>

#include "common/failure_text.h"
#include "dnsguard/interface_lookup.h"
#include "dnsguard/interface_lookup_win.h"

namespace brumo {
namespace {

InterfaceIndexResult LookupFailure(std::string message) {
  return InterfaceIndexResult{0, std::move(message), false};
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return std::wstring();
  // The byte count goes to the platform as an int: there is no terminator to stop at.
  // Without MB_ERR_INVALID_CHARS an invalid sequence is replaced, never an error.
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
  return wide;
}

InterfaceIndexResult ResolveTunnelInterface(std::string_view alias) {
  const std::wstring wide = Utf8ToWide(alias);
  if (wide.empty()) return LookupFailure("Failed to convert interface alias to wide string");

  NET_LUID luid;
  luid.Value = 0;
  const NETIO_STATUS alias_status = ::ConvertInterfaceAliasToLuid(wide.c_str(), &luid);
  if (alias_status != NO_ERROR) {
    return LookupFailure(FormatFailure("ConvertInterfaceAliasToLuid", alias_status));
  }

  NET_IFINDEX index = 0;
  const NETIO_STATUS index_status = ::ConvertInterfaceLuidToIndex(&luid, &index);
  if (index_status != NO_ERROR) {
    return LookupFailure(FormatFailure("ConvertInterfaceLuidToIndex", index_status));
  }
  return InterfaceIndexResult{index, std::string(), true};
}

}  // namespace brumo
