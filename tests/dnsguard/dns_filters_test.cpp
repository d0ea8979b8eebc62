#include "dnsguard/dns_filters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/standins/wfp/wfp_json.h"

namespace brumo {
namespace {

TEST(DnsFilterData, GuidsReadAsTheirSdkTexts) {
  const struct {
    const char* name;
    Guid guid;
    const char* text;
  } cases[] = {
      {"sublayer", kDnsSublayerKey, "{8F6A0F7D-2ED2-4D79-A21F-7B2D11417398}"},
      {"outbound v4", kFwpmLayerOutboundTransportV4, "{09E61AEA-D214-46E2-9B21-B26B0B2F28C8}"},
      {"outbound v6", kFwpmLayerOutboundTransportV6, "{E1735BDE-013F-4655-B351-A49E15762DF0}"},
      {"ip protocol", kFwpmConditionIpProtocol, "{3971EF2B-623E-4F9A-8CB1-6E79B806B9A7}"},
      {"remote port", kFwpmConditionIpRemotePort, "{C35A604D-D22B-4E1A-91B4-68F674EE674B}"},
      {"if index", kFwpmConditionInterfaceIndex, "{667FD755-D695-434A-8AF5-D3835A1259BC}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GuidText(c.guid), c.text);
  }
}

// The key's text is checked above.
TEST(DnsFilterData, DynamicSessionAndNonPersistentSublayerOfWeight0x8000) {
  EXPECT_EQ(MakeSessionRecord(),
            (SessionRecord{u"BrumoVPN WFP session", u"BrumoVPN DNS leak prevention", 1, 0}));
  EXPECT_EQ(MakeSublayerRecord(),
            (SublayerRecord{kDnsSublayerKey, u"BrumoVPN DNS leak prevention",
                            u"Blocks outbound DNS on non-tunnel interfaces", 0, 32768}));
}

// Every field of the twelve filters, in the order they are added. The index has bits in
// all four bytes, so a value cut to 8 or 16 bits shows.
TEST(DnsFilterData, TwelveFiltersFieldByField) {
  constexpr std::uint32_t kIndex = 0x89ABCDEF;
  // Per layer, IPv4 then IPv6, each rule's permit filter, then its block filter.
  const struct {
    const char16_t* name;
    std::uint32_t protocol;
    std::uint32_t port;
  } rules[] = {{u"BrumoVPN DNS allow (UDP/53)", 17, 53},
               {u"BrumoVPN DNS allow (TCP/53)", 6, 53},
               {u"BrumoVPN DoT allow (TCP/853)", 6, 853}};

  const std::vector<FilterRecord> filters = BuildDnsFilters(kIndex);
  ASSERT_EQ(filters.size(), 12u);
  for (std::size_t i = 0; i < filters.size(); ++i) {
    SCOPED_TRACE("filter #" + std::to_string(i + 1));
    const auto& e = rules[i % 6 / 2];
    const bool permit = i % 2 == 0;
    FilterRecord want{
        std::u16string(e.name) + (permit ? u"" : u" (block)"),
        0,
        i < 6 ? kFwpmLayerOutboundTransportV4 : kFwpmLayerOutboundTransportV6,
        kDnsSublayerKey,
        {FwpDataType::kUint8, permit ? 15u : 10u},
        {{kFwpmConditionIpProtocol, FwpMatchType::kEqual, {FwpDataType::kUint8, e.protocol}},
         {kFwpmConditionIpRemotePort, FwpMatchType::kEqual, {FwpDataType::kUint16, e.port}}},
        permit ? 0x1002u : 0x1001u};
    if (permit) {
      want.conditions.push_back(
          {kFwpmConditionInterfaceIndex, FwpMatchType::kEqual, {FwpDataType::kUint32, kIndex}});
    }
    EXPECT_EQ(filters[i], want);
  }
}

}  // namespace
}  // namespace brumo
