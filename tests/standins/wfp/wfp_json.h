// The filter-engine records and the in-memory engine's live state as JSON: the form in which
// the stand-in fwpuclnt.dll logs them (tests/standins/fwpuclnt_dll/README.md), in which
// the tests compare them and in which gtest prints them. GUIDs are their registry texts,
// names UTF-8.
#pragma once

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "dnsguard/wfp_records.h"
#include "tests/standins/wfp/wfp_standin.h"

namespace brumo {

inline std::string GuidText(const Guid& g) {
  return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                     g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                     g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

// UTF-16 to UTF-8, decoded by the JSON parser from \u escapes; a text with a lone surrogate
// becomes U+FFFD alone.
inline std::string Utf8(std::u16string_view text) {
  std::string quoted = "\"";
  for (const char16_t c : text) quoted += fmt::format("\\u{:04X}", static_cast<unsigned>(c));
  const nlohmann::json decoded = nlohmann::json::parse(quoted + '"', nullptr, false);
  return decoded.is_string() ? decoded.get<std::string>() : "\xEF\xBF\xBD";
}

inline void to_json(nlohmann::json& j, const Guid& g) { j = GuidText(g); }

inline void to_json(nlohmann::json& j, const FwpValue& v) {
  j = {{"type", static_cast<std::uint32_t>(v.type)}, {"value", v.value}};
}

inline void to_json(nlohmann::json& j, const FilterCondition& c) {
  j = {{"field", c.field_key},
       {"match", static_cast<std::uint32_t>(c.match_type)},
       {"value", c.value}};
}

inline void to_json(nlohmann::json& j, const FilterRecord& f) {
  j = {{"name", Utf8(f.name)},       {"flags", f.flags},   {"layer", f.layer_key},
       {"sublayer", f.sublayer_key}, {"weight", f.weight}, {"conditions", f.conditions},
       {"action", f.action_type}};
}

inline void to_json(nlohmann::json& j, const SublayerRecord& s) {
  j = {{"key", s.key},
       {"name", Utf8(s.name)},
       {"description", Utf8(s.description)},
       {"flags", s.flags},
       {"weight", s.weight}};
}

inline void to_json(nlohmann::json& j, const SessionRecord& s) {
  j = {{"name", Utf8(s.name)},
       {"description", Utf8(s.description)},
       {"flags", s.flags},
       {"txn_wait_timeout_ms", s.txn_wait_timeout_ms}};
}

inline void PrintTo(const Guid& g, std::ostream* os) { *os << GuidText(g); }
inline void PrintTo(const FilterRecord& f, std::ostream* os) { *os << nlohmann::json(f); }
inline void PrintTo(const SublayerRecord& s, std::ostream* os) { *os << nlohmann::json(s); }
inline void PrintTo(const SessionRecord& s, std::ostream* os) { *os << nlohmann::json(s); }

namespace wfp_standin {

// The live state: counts of open handles, open transactions, sublayers and filters.
inline void to_json(nlohmann::json& j, const Record& r) {
  j = {{"engines", r.open_handles},
       {"transactions", r.open_transactions},
       {"sublayers", r.live_sublayer_keys.size()},
       {"filters", r.live_filter_ids.size()}};
}

}  // namespace wfp_standin
}  // namespace brumo
