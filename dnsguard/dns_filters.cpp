#include "dnsguard/dns_filters.h"

#include <string>
#include <utility>

namespace brumo {
namespace {

FilterCondition ProtocolCondition(const DnsFilterRule& rule) {
  return {kFwpmConditionIpProtocol, FwpMatchType::kEqual, {FwpDataType::kUint8, rule.ip_protocol}};
}

FilterCondition RemotePortCondition(const DnsFilterRule& rule) {
  return {
      kFwpmConditionIpRemotePort, FwpMatchType::kEqual, {FwpDataType::kUint16, rule.remote_port}};
}

FilterRecord BaseFilter(std::u16string name, const Guid& layer, std::uint8_t weight,
                        std::uint32_t action) {
  FilterRecord filter;
  filter.name = std::move(name);
  filter.layer_key = layer;
  filter.sublayer_key = kDnsSublayerKey;
  filter.weight = {FwpDataType::kUint8, weight};
  filter.action_type = action;
  return filter;
}

}  // namespace

SessionRecord MakeSessionRecord() {
  SessionRecord session;
  session.name = kSessionName;
  session.description = kSessionDescription;
  session.flags = kFwpmSessionFlagDynamic;
  session.txn_wait_timeout_ms = 0;  // the platform's default
  return session;
}

SublayerRecord MakeSublayerRecord() {
  SublayerRecord sublayer;
  sublayer.key = kDnsSublayerKey;
  sublayer.name = kSublayerName;
  sublayer.description = kSublayerDescription;
  sublayer.flags = 0;  // not persistent
  sublayer.weight = kSublayerWeight;
  return sublayer;
}

FilterRecord BuildPermitFilter(const Guid& layer, const DnsFilterRule& rule,
                               std::uint32_t if_index) {
  FilterRecord filter =
      BaseFilter(std::u16string(rule.permit_name), layer, kAllowWeight, kFwpActionPermit);
  filter.conditions = {
      ProtocolCondition(rule),
      RemotePortCondition(rule),
      {kFwpmConditionInterfaceIndex, FwpMatchType::kEqual, {FwpDataType::kUint32, if_index}},
  };
  return filter;
}

FilterRecord BuildBlockFilter(const Guid& layer, const DnsFilterRule& rule) {
  std::u16string name(rule.permit_name);
  name += kBlockNameSuffix;
  // No interface condition: the block filter matches every interface, and the permit
  // filter's higher weight lets the tunnel's traffic through.
  FilterRecord filter = BaseFilter(std::move(name), layer, kBlockWeight, kFwpActionBlock);
  filter.conditions = {ProtocolCondition(rule), RemotePortCondition(rule)};
  return filter;
}

std::vector<FilterRecord> BuildDnsFilters(std::uint32_t if_index) {
  std::vector<FilterRecord> filters;
  filters.reserve(kDnsFilterLayers.size() * kDnsFilterRules.size() * 2);
  for (const Guid& layer : kDnsFilterLayers) {
    for (const DnsFilterRule& rule : kDnsFilterRules) {
      filters.push_back(BuildPermitFilter(layer, rule, if_index));
      filters.push_back(BuildBlockFilter(layer, rule));
    }
  }
  return filters;
}

}  // namespace brumo
