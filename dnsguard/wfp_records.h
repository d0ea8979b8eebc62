// Platform-free mirrors of the Windows Filtering Platform records this subsystem submits,
// and the SDK values it uses. They carry only the fields the guard sets; every other field
// of the platform record is zero, null or empty. The Windows engine source
// (wfp_engine_win.cpp) turns them into FWPM_* structures and checks the layouts and the
// enumeration, action, flag and error values against the SDK's at compile time; the layer
// and condition GUIDs, which mingw's headers do not define, are written out here and are
// compared with the SDK's values by reading. So the records can be built and compared on
// any host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brumo {

// Same layout as the platform's GUID.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};

  friend bool operator==(const Guid&, const Guid&) = default;
};

// FWP_DATA_TYPE, restricted to the types used here.
enum class FwpDataType : std::uint32_t {
  kEmpty = 0,
  kUint8 = 1,
  kUint16 = 2,
  kUint32 = 3,
};

// FWP_MATCH_TYPE, restricted to the one used here.
enum class FwpMatchType : std::uint32_t {
  kEqual = 0,
};

inline constexpr std::uint32_t kFwpActionBlock = 0x1001;   // FWP_ACTION_BLOCK
inline constexpr std::uint32_t kFwpActionPermit = 0x1002;  // FWP_ACTION_PERMIT
inline constexpr std::uint32_t kFwpmSessionFlagDynamic = 0x00000001;
inline constexpr std::uint32_t kFwpErrorAlreadyExists = 0x80320009;  // FWP_E_ALREADY_EXISTS

inline constexpr Guid kFwpmLayerOutboundTransportV4{
    0x09E61AEA, 0xD214, 0x46E2, {0x9B, 0x21, 0xB2, 0x6B, 0x0B, 0x2F, 0x28, 0xC8}};
inline constexpr Guid kFwpmLayerOutboundTransportV6{
    0xE1735BDE, 0x013F, 0x4655, {0xB3, 0x51, 0xA4, 0x9E, 0x15, 0x76, 0x2D, 0xF0}};
inline constexpr Guid kFwpmConditionIpProtocol{
    0x3971EF2B, 0x623E, 0x4F9A, {0x8C, 0xB1, 0x6E, 0x79, 0xB8, 0x06, 0xB9, 0xA7}};
inline constexpr Guid kFwpmConditionIpRemotePort{
    0xC35A604D, 0xD22B, 0x4E1A, {0x91, 0xB4, 0x68, 0xF6, 0x74, 0xEE, 0x67, 0x4B}};
inline constexpr Guid kFwpmConditionInterfaceIndex{
    0x667FD755, 0xD695, 0x434A, {0x8A, 0xF5, 0xD3, 0x83, 0x5A, 0x12, 0x59, 0xBC}};

// FWP_VALUE0 / FWP_CONDITION_VALUE0 holding an unsigned integer of at most 32 bits.
struct FwpValue {
  FwpDataType type = FwpDataType::kEmpty;
  std::uint32_t value = 0;

  friend bool operator==(const FwpValue&, const FwpValue&) = default;
};

// FWPM_FILTER_CONDITION0.
struct FilterCondition {
  Guid field_key;
  FwpMatchType match_type = FwpMatchType::kEqual;
  FwpValue value;

  friend bool operator==(const FilterCondition&, const FilterCondition&) = default;
};

// FWPM_FILTER0: filter key zero (the platform assigns one), no description, no provider,
// no filter type or callout, raw context 0.
struct FilterRecord {
  std::u16string name;
  std::uint32_t flags = 0;
  Guid layer_key;
  Guid sublayer_key;
  FwpValue weight;
  std::vector<FilterCondition> conditions;
  std::uint32_t action_type = 0;

  friend bool operator==(const FilterRecord&, const FilterRecord&) = default;
};

// FWPM_SUBLAYER0: no provider key, empty provider data.
struct SublayerRecord {
  Guid key;
  std::u16string name;
  std::u16string description;
  std::uint16_t flags = 0;
  std::uint16_t weight = 0;

  friend bool operator==(const SublayerRecord&, const SublayerRecord&) = default;
};

// FWPM_SESSION0: session key zero (the platform assigns one), process id 0, no SID, no
// user name, kernel mode false.
struct SessionRecord {
  std::u16string name;
  std::u16string description;
  std::uint32_t flags = 0;
  std::uint32_t txn_wait_timeout_ms = 0;

  friend bool operator==(const SessionRecord&, const SessionRecord&) = default;
};

}  // namespace brumo
