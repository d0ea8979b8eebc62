#include "tests/support/standin_log.h"

#include <set>

namespace brumo::test_support {
namespace {

// The IPv4 outbound transport layer and the interface condition, as the log writes them.
constexpr std::string_view kIpv4LayerPrefix = "{09E61AEA";
constexpr std::string_view kInterfaceField = "{667FD755-D695-434A-8AF5-D3835A1259BC}";
constexpr std::string_view kPermitAction = "0x1002";

}  // namespace

std::vector<std::string> CompleteLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string_view::npos;
       end = text.find('\n', start)) {
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string FwpCall::Field(const std::string& key) const {
  const auto found = fields.find(key);
  return found == fields.end() ? "<missing>" : found->second;
}

FwpCall ParseFwpLine(std::string_view line) {
  FwpCall call;
  const std::size_t first_tab = line.find('\t');
  call.function = std::string(line.substr(0, first_tab));
  if (first_tab == std::string_view::npos) return call;
  std::size_t start = first_tab + 1;
  while (start <= line.size()) {
    std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) tab = line.size();
    const std::string_view field = line.substr(start, tab - start);
    const std::size_t equals = field.find('=');
    call.fields[std::string(field.substr(0, equals))] =
        equals == std::string_view::npos ? std::string() : std::string(field.substr(equals + 1));
    start = tab + 1;
  }
  return call;
}

std::vector<FwpCall> ParseFwpLines(const std::vector<std::string>& lines) {
  std::vector<FwpCall> calls;
  calls.reserve(lines.size());
  for (const std::string& line : lines) calls.push_back(ParseFwpLine(line));
  return calls;
}

FilterLedger Balance(const std::vector<FwpCall>& calls) {
  FilterLedger ledger;
  std::multiset<std::string> filters;
  std::multiset<std::string> engines;
  for (const FwpCall& call : calls) {
    if (call.function == "FwpmEngineOpen0") {
      engines.insert(call.Field("handle"));
    } else if (call.function == "FwpmEngineClose0") {
      const auto found = engines.find(call.Field("handle"));
      if (found != engines.end()) engines.erase(found);
    } else if (call.function == "FwpmSubLayerAdd0") {
      ++ledger.sublayers_left;
    } else if (call.function == "FwpmSubLayerDeleteByKey0") {
      --ledger.sublayers_left;
    } else if (call.function == "FwpmFilterAdd0") {
      ++ledger.filters_added;
      filters.insert(call.Field("id"));
    } else if (call.function == "FwpmFilterDeleteById0") {
      ++ledger.filters_deleted;
      const auto found = filters.find(call.Field("id"));
      if (found != filters.end()) filters.erase(found);
    }
  }
  ledger.filters_left = static_cast<long>(filters.size());
  ledger.engines_left = static_cast<long>(engines.size());
  return ledger;
}

std::string Readable(std::string_view line) {
  if (!line.starts_with("Fwpm")) return std::string(line);
  const FwpCall call = ParseFwpLine(line);
  std::string text = call.function;
  if (call.function == "FwpmEngineOpen0") {
    text += " session " + call.Field("session.name");
    if (call.Field("session.flags") == "1") text += " (dynamic)";
  } else if (call.function == "FwpmSubLayerAdd0") {
    text += " " + call.Field("key") + " " + call.Field("name");
  } else if (call.function == "FwpmFilterAdd0") {
    text += " id " + call.Field("id") + ": ";
    text += call.Field("action.type") == kPermitAction ? "permit " : "block ";
    text += call.Field("name");
    text += call.Field("layer").starts_with(kIpv4LayerPrefix) ? " IPv4" : " IPv6";
    for (int c = 0;; ++c) {
      const std::string prefix = "cond" + std::to_string(c);
      const auto field = call.fields.find(prefix + ".field");
      if (field == call.fields.end()) break;
      if (field->second == kInterfaceField) {
        text += ", only on interface " + call.Field(prefix + ".value");
      }
    }
  } else if (call.function == "FwpmFilterDeleteById0") {
    text += " id " + call.Field("id");
  } else if (call.function == "FwpmSubLayerDeleteByKey0") {
    text += " " + call.Field("key");
  }
  return text;
}

}  // namespace brumo::test_support
