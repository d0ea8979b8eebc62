// The filter set of the DNS leak guard as plain data: the engine session, the sublayer and
// the twelve filters, built apart from the calls that submit them. Everything here is a
// pure function of its arguments and safe to call from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dnsguard/wfp_records.h"

namespace brumo {

inline constexpr Guid kDnsSublayerKey{
    0x8F6A0F7D, 0x2ED2, 0x4D79, {0xA2, 0x1F, 0x7B, 0x2D, 0x11, 0x41, 0x73, 0x98}};
inline constexpr std::uint16_t kSublayerWeight = 0x8000;
inline constexpr std::uint8_t kAllowWeight = 15;
inline constexpr std::uint8_t kBlockWeight = 10;
inline constexpr std::u16string_view kBlockNameSuffix = u" (block)";

inline constexpr std::u16string_view kSessionName = u"BrumoVPN WFP session";
inline constexpr std::u16string_view kSessionDescription = u"BrumoVPN DNS leak prevention";
inline constexpr std::u16string_view kSublayerName = u"BrumoVPN DNS leak prevention";
inline constexpr std::u16string_view kSublayerDescription =
    u"Blocks outbound DNS on non-tunnel interfaces";

// One kind of DNS traffic: a permit filter for the tunnel interface and a block filter of
// lower weight for every interface, on each IP version.
struct DnsFilterRule {
  std::uint8_t ip_protocol;
  std::uint16_t remote_port;
  std::u16string_view permit_name;
};

inline constexpr std::array<DnsFilterRule, 3> kDnsFilterRules{{
    {17, 53, u"BrumoVPN DNS allow (UDP/53)"},
    {6, 53, u"BrumoVPN DNS allow (TCP/53)"},
    {6, 853, u"BrumoVPN DoT allow (TCP/853)"},
}};

// The layers the filters are added to, in order.
inline constexpr std::array<Guid, 2> kDnsFilterLayers{
    {kFwpmLayerOutboundTransportV4, kFwpmLayerOutboundTransportV6}};

// The dynamic session under which the guard opens the engine.
SessionRecord MakeSessionRecord();
SublayerRecord MakeSublayerRecord();

// Permits `rule`'s traffic on `layer` through the interface `if_index`.
FilterRecord BuildPermitFilter(const Guid& layer, const DnsFilterRule& rule,
                               std::uint32_t if_index);
// Blocks `rule`'s traffic on `layer` on every interface.
FilterRecord BuildBlockFilter(const Guid& layer, const DnsFilterRule& rule);

// The twelve filters in the order the guard adds them: per layer (IPv4, then IPv6), per
// rule, the permit filter and then the block filter.
std::vector<FilterRecord> BuildDnsFilters(std::uint32_t if_index);

}  // namespace brumo
