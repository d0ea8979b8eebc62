// Readable gtest output for the filter-engine records.
#pragma once

#include <fmt/format.h>

#include <ostream>
#include <string>

#include "dnsguard/wfp_records.h"

namespace brumo {

inline std::string GuidText(const Guid& g) {
  return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                     g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                     g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

// The names are ASCII; anything else shows as its code unit.
inline std::string NarrowText(const std::u16string& text) {
  std::string out;
  for (const char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      out += fmt::format("\\u{:04X}", static_cast<unsigned>(unit));
    }
  }
  return out;
}

inline void PrintTo(const Guid& g, std::ostream* os) { *os << GuidText(g); }

inline void PrintTo(const FwpValue& v, std::ostream* os) {
  *os << "{type " << static_cast<unsigned>(v.type) << ", " << v.value << "}";
}

inline void PrintTo(const FilterCondition& c, std::ostream* os) {
  *os << "{" << GuidText(c.field_key) << " match " << static_cast<unsigned>(c.match_type) << " ";
  PrintTo(c.value, os);
  *os << "}";
}

inline void PrintTo(const FilterRecord& f, std::ostream* os) {
  *os << "{\"" << NarrowText(f.name) << "\" flags " << f.flags << " layer " << GuidText(f.layer_key)
      << " sublayer " << GuidText(f.sublayer_key) << " weight ";
  PrintTo(f.weight, os);
  *os << " action 0x" << std::hex << f.action_type << std::dec << " conditions [";
  for (const FilterCondition& c : f.conditions) PrintTo(c, os);
  *os << "]}";
}

inline void PrintTo(const SublayerRecord& s, std::ostream* os) {
  *os << "{" << GuidText(s.key) << " \"" << NarrowText(s.name) << "\" \""
      << NarrowText(s.description) << "\" flags " << s.flags << " weight " << s.weight << "}";
}

inline void PrintTo(const SessionRecord& s, std::ostream* os) {
  *os << "{\"" << NarrowText(s.name) << "\" \"" << NarrowText(s.description) << "\" flags "
      << s.flags << " timeout " << s.txn_wait_timeout_ms << "}";
}

}  // namespace brumo
