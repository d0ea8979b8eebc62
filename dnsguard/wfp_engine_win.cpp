// The filter-engine seam on Windows: each function fills the FWPM_* structure from its
// platform-free record, zeroing every field the record does not carry, and makes one
// fwpuclnt call.
#include <fwpmu.h>
#include <windows.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "dnsguard/wfp_engine.h"

// Not in every SDK's headers (mingw-w64 lacks it); the value is the platform's.
#ifndef FWPM_SESSION_FLAG_DYNAMIC
#define FWPM_SESSION_FLAG_DYNAMIC 0x00000001
#endif

namespace brumo::wfp {
namespace {

static_assert(std::is_same_v<EngineHandle, HANDLE>);
static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(offsetof(Guid, data1) == offsetof(GUID, Data1));
static_assert(offsetof(Guid, data2) == offsetof(GUID, Data2));
static_assert(offsetof(Guid, data3) == offsetof(GUID, Data3));
static_assert(offsetof(Guid, data4) == offsetof(GUID, Data4));
static_assert(sizeof(Guid::data4) == sizeof(GUID::Data4));
static_assert(static_cast<std::uint32_t>(FwpDataType::kEmpty) == FWP_EMPTY);
static_assert(static_cast<std::uint32_t>(FwpDataType::kUint8) == FWP_UINT8);
static_assert(static_cast<std::uint32_t>(FwpDataType::kUint16) == FWP_UINT16);
static_assert(static_cast<std::uint32_t>(FwpDataType::kUint32) == FWP_UINT32);
static_assert(static_cast<std::uint32_t>(FwpMatchType::kEqual) == FWP_MATCH_EQUAL);
static_assert(kFwpActionBlock == FWP_ACTION_BLOCK);
static_assert(kFwpActionPermit == FWP_ACTION_PERMIT);
static_assert(kFwpmSessionFlagDynamic == FWPM_SESSION_FLAG_DYNAMIC);
static_assert(kFwpErrorAlreadyExists == static_cast<std::uint32_t>(FWP_E_ALREADY_EXISTS));

GUID ToGuid(const Guid& guid) {
  GUID out{};
  out.Data1 = guid.data1;
  out.Data2 = guid.data2;
  out.Data3 = guid.data3;
  for (std::size_t i = 0; i < sizeof(out.Data4); ++i) out.Data4[i] = guid.data4[i];
  return out;
}

// The platform takes display texts as mutable wchar_t strings; these copies live until
// the call returns.
std::wstring ToWide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

// FWP_VALUE0 and FWP_CONDITION_VALUE0 share the members used here.
template <typename PlatformValue>
PlatformValue ToValue(const FwpValue& value) {
  PlatformValue out{};
  out.type = static_cast<FWP_DATA_TYPE>(value.type);
  switch (value.type) {
    case FwpDataType::kUint8:
      out.uint8 = static_cast<UINT8>(value.value);
      break;
    case FwpDataType::kUint16:
      out.uint16 = static_cast<UINT16>(value.value);
      break;
    case FwpDataType::kUint32:
      out.uint32 = value.value;
      break;
    case FwpDataType::kEmpty:
      break;
  }
  return out;
}

}  // namespace

std::uint32_t OpenEngine(const SessionRecord& session, EngineHandle* engine) {
  std::wstring name = ToWide(session.name);
  std::wstring description = ToWide(session.description);
  FWPM_SESSION0 record{};  // session key, process id, SID, user name, kernel mode: zero
  record.displayData.name = name.data();
  record.displayData.description = description.data();
  record.flags = session.flags;
  record.txnWaitTimeoutInMSec = session.txn_wait_timeout_ms;

  HANDLE handle = nullptr;
  const DWORD status = ::FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &record, &handle);
  *engine = handle;
  return status;
}

std::uint32_t CloseEngine(EngineHandle engine) noexcept {
  // A close must not hide the failure that led to it.
  const DWORD saved = ::GetLastError();
  const DWORD status = ::FwpmEngineClose0(engine);
  ::SetLastError(saved);
  return status;
}

std::uint32_t BeginTransaction(EngineHandle engine) { return ::FwpmTransactionBegin0(engine, 0); }

std::uint32_t CommitTransaction(EngineHandle engine) { return ::FwpmTransactionCommit0(engine); }

std::uint32_t AbortTransaction(EngineHandle engine) noexcept {
  return ::FwpmTransactionAbort0(engine);
}

std::uint32_t AddSublayer(EngineHandle engine, const SublayerRecord& sublayer) {
  std::wstring name = ToWide(sublayer.name);
  std::wstring description = ToWide(sublayer.description);
  FWPM_SUBLAYER0 record{};  // no provider key, empty provider data
  record.subLayerKey = ToGuid(sublayer.key);
  record.displayData.name = name.data();
  record.displayData.description = description.data();
  record.flags = sublayer.flags;
  record.weight = sublayer.weight;
  return ::FwpmSubLayerAdd0(engine, &record, nullptr);
}

std::uint32_t AddFilter(EngineHandle engine, const FilterRecord& filter, std::uint64_t* filter_id) {
  std::wstring name = ToWide(filter.name);
  std::vector<FWPM_FILTER_CONDITION0> conditions;
  conditions.reserve(filter.conditions.size());
  for (const FilterCondition& condition : filter.conditions) {
    FWPM_FILTER_CONDITION0 out{};
    out.fieldKey = ToGuid(condition.field_key);
    out.matchType = static_cast<FWP_MATCH_TYPE>(condition.match_type);
    out.conditionValue = ToValue<FWP_CONDITION_VALUE0>(condition.value);
    conditions.push_back(out);
  }

  // Filter key zero (the platform assigns one), no description, no provider, no filter
  // type or callout, raw context 0.
  FWPM_FILTER0 record{};
  record.displayData.name = name.data();
  record.flags = filter.flags;
  record.layerKey = ToGuid(filter.layer_key);
  record.subLayerKey = ToGuid(filter.sublayer_key);
  record.weight = ToValue<FWP_VALUE0>(filter.weight);
  record.numFilterConditions = static_cast<UINT32>(conditions.size());
  record.filterCondition = conditions.empty() ? nullptr : conditions.data();
  record.action.type = filter.action_type;

  UINT64 id = 0;
  const DWORD status = ::FwpmFilterAdd0(engine, &record, nullptr, &id);
  *filter_id = id;
  return status;
}

std::uint32_t DeleteFilterById(EngineHandle engine, std::uint64_t filter_id) noexcept {
  return ::FwpmFilterDeleteById0(engine, filter_id);
}

std::uint32_t DeleteSublayerByKey(EngineHandle engine, const Guid& key) noexcept {
  const GUID platform_key = ToGuid(key);
  return ::FwpmSubLayerDeleteByKey0(engine, &platform_key);
}

}  // namespace brumo::wfp
