// The interface lookup on Windows: iphlpapi for alias to LUID to index.
// Winsock's headers first: the Windows SDK declares the netioapi functions that
// iphlpapi.h brings in only once the Winsock definitions are known.
#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include "common/failure_text.h"
#include "common/utf8_win.h"
#include "dnsguard/interface_lookup.h"

namespace brumo {
namespace {

InterfaceIndexResult LookupFailure(std::string message) {
  return InterfaceIndexResult{0, std::move(message), false};
}

}  // namespace

InterfaceIndexResult ResolveTunnelInterface(std::string_view alias) {
  const std::wstring wide = Widen(alias);
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
