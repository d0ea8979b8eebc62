// The interface lookup seam over Linux's own table of network devices, for the host tests
// that run the real tun2proxy: the device it makes is found by its name, as Windows finds
// the adapter by its alias. The failure texts are the Windows lookup's, with the errno of
// the failed lookup as the status.
#include <net/if.h>

#include <cerrno>
#include <string>

#include "tests/standins/interfaces/interfaces_standin.h"

namespace brumo {

InterfaceIndexResult ResolveTunnelInterface(std::string_view alias) {
  const std::string name(alias);
  if (name.empty() || name.find('\0') != std::string::npos) {
    return interfaces_standin::ConversionFailure();
  }
  const unsigned index = if_nametoindex(name.c_str());
  if (index == 0) return interfaces_standin::AliasFailure(static_cast<std::uint32_t>(errno));
  return {index, std::string(), true};
}

}  // namespace brumo
