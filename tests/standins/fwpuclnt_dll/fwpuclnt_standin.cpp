// The stand-in fwpuclnt.dll: each Fwpm* export turns its arguments into the records of
// dnsguard/wfp_records.h and makes the call on the in-memory engine of tests/standins/wfp,
// built into this DLL, then logs the call as one JSON line; see README.md beside this file.
#include <fwpmu.h>
#include <windows.h>

#include <algorithm>
#include <bit>
#include <cwchar>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>

#include "dnsguard/wfp_engine.h"
#include "tests/standins/wfp/wfp_json.h"
#include "tests/standins/wfp/wfp_standin.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL

namespace brumo {
namespace {

using nlohmann::json;
using wfp_standin::Op;

// The exports' names, in the order of Op.
constexpr const char* kFunctions[] = {
    "FwpmEngineOpen0",        "FwpmEngineClose0",      "FwpmTransactionBegin0",
    "FwpmTransactionCommit0", "FwpmTransactionAbort0", "FwpmSubLayerAdd0",
    "FwpmFilterAdd0",         "FwpmFilterDeleteById0", "FwpmSubLayerDeleteByKey0"};

// One call at a time, so that the log's order is the engine's.
SRWLOCK g_lock = SRWLOCK_INIT;

// Where the lines go: BRUMO_FWP_LOG, or fwpuclnt.log beside this DLL.
std::wstring LogPath() {
  wchar_t buffer[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableW(L"BRUMO_FWP_LOG", buffer, MAX_PATH * 2);
  if (length > 0 && length < MAX_PATH * 2) return std::wstring(buffer, length);
  length = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), buffer, MAX_PATH * 2);
  const std::wstring path(buffer, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"fwpuclnt.log";  // npos + 1 is 0
}

std::u16string Text(const wchar_t* text) {
  return text == nullptr ? std::u16string() : std::u16string(text, text + std::wcslen(text));
}

// The layouts are the same (checked in dnsguard/wfp_engine_win.cpp).
Guid FromGuid(const GUID& g) { return std::bit_cast<Guid>(g); }

// FWP_VALUE0 and FWP_CONDITION_VALUE0 share the members read here; a type the records do
// not know keeps its number and the value 0.
template <typename Value>
FwpValue ValueOf(const Value& v) {
  FwpValue out{static_cast<FwpDataType>(v.type), 0};
  if (v.type == FWP_UINT8) out.value = v.uint8;
  if (v.type == FWP_UINT16) out.value = v.uint16;
  if (v.type == FWP_UINT32) out.value = v.uint32;
  return out;
}

bool Set(const GUID* g) { return g != nullptr && FromGuid(*g) != Guid{}; }

// Makes the call under the lock and appends its line: the engine's record of the call
// (function, handle, the filter id of an add or delete, status), the members of `line`,
// under "extra" the fields of `extra` that are set, and the engine's live state after the
// call. Returns the status.
template <typename Call>
DWORD Logged(json line, std::initializer_list<std::pair<const char*, bool>> extra, Call call) {
  AcquireSRWLockExclusive(&g_lock);
  call();
  const wfp_standin::Record live = wfp_standin::Live();
  const wfp_standin::Call& done = live.calls.back();
  line["call"] = kFunctions[static_cast<int>(done.op)];
  line["pid"] = GetCurrentProcessId();
  line["handle"] = reinterpret_cast<std::uintptr_t>(done.engine);
  if (done.op == Op::kAddFilter || done.op == Op::kDeleteFilterById) line["id"] = done.filter_id;
  for (const auto& [field, set] : extra) {
    if (set) line["extra"][field] = true;
  }
  line["status"] = done.status;
  line["live"] = live;
  const std::string text = line.dump() + '\n';
  const HANDLE file = CreateFileW(LogPath().c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
  }
  ReleaseSRWLockExclusive(&g_lock);
  return done.status;
}

}  // namespace
}  // namespace brumo

using brumo::json;
using brumo::Logged;
using brumo::Op;
using brumo::Set;
namespace wfp = brumo::wfp;

extern "C" {

// Test-only: the `nth` call (from 1) of the function named `function` from now on returns
// `status` and does nothing else.
void WINAPI BrumoStandinFailCall(const char* function, UINT32 nth, DWORD status) {
  AcquireSRWLockExclusive(&brumo::g_lock);
  for (int op = 0; op < static_cast<int>(std::size(brumo::kFunctions)); ++op) {
    if (function == nullptr || std::string(function) != brumo::kFunctions[op]) continue;
    const auto seen = std::ranges::count(brumo::wfp_standin::Recorded().ops, static_cast<Op>(op));
    brumo::wfp_standin::FailAt(static_cast<Op>(op), static_cast<int>(seen + nth), status);
  }
  ReleaseSRWLockExclusive(&brumo::g_lock);
}

DWORD WINAPI FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                             SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                             HANDLE* engineHandle) {
  brumo::SessionRecord record;
  if (session != nullptr) {
    record = {brumo::Text(session->displayData.name), brumo::Text(session->displayData.description),
              session->flags, session->txnWaitTimeoutInMSec};
  }
  const bool given = session != nullptr;
  return Logged({{"authn", authnService}, {"session", record}},
                {{"serverName", serverName != nullptr},
                 {"authIdentity", authIdentity != nullptr},
                 {"session=null", !given},
                 {"sessionKey", given && Set(&session->sessionKey)},
                 {"processId", given && session->processId != 0},
                 {"sid", given && session->sid != nullptr},
                 {"username", given && session->username != nullptr},
                 {"kernelMode", given && session->kernelMode}},
                [&] { return wfp::OpenEngine(record, engineHandle); });
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle) {
  return Logged({}, {}, [&] { return wfp::CloseEngine(engineHandle); });
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) {
  return Logged({}, {{"flags", flags != 0}}, [&] { return wfp::BeginTransaction(engineHandle); });
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engineHandle) {
  return Logged({}, {}, [&] { return wfp::CommitTransaction(engineHandle); });
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engineHandle) {
  return Logged({}, {}, [&] { return wfp::AbortTransaction(engineHandle); });
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                              PSECURITY_DESCRIPTOR sd) {
  const brumo::SublayerRecord record{
      brumo::FromGuid(subLayer->subLayerKey), brumo::Text(subLayer->displayData.name),
      brumo::Text(subLayer->displayData.description), subLayer->flags, subLayer->weight};
  return Logged({{"sublayer", record}},
                {{"providerKey", subLayer->providerKey != nullptr},
                 {"providerData", subLayer->providerData.size != 0},
                 {"sd", sd != nullptr}},
                [&] { return wfp::AddSublayer(engineHandle, record); });
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) {
  const brumo::Guid record = brumo::FromGuid(*key);
  return Logged({{"key", record}}, {},
                [&] { return wfp::DeleteSublayerByKey(engineHandle, record); });
}

DWORD WINAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter,
                            PSECURITY_DESCRIPTOR sd, UINT64* id) {
  brumo::FilterRecord record{brumo::Text(filter->displayData.name),
                             filter->flags,
                             brumo::FromGuid(filter->layerKey),
                             brumo::FromGuid(filter->subLayerKey),
                             brumo::ValueOf(filter->weight),
                             {},
                             filter->action.type};
  for (UINT32 i = 0; i < filter->numFilterConditions && filter->filterCondition != nullptr; ++i) {
    const FWPM_FILTER_CONDITION0& c = filter->filterCondition[i];
    record.conditions.push_back({brumo::FromGuid(c.fieldKey),
                                 static_cast<brumo::FwpMatchType>(c.matchType),
                                 brumo::ValueOf(c.conditionValue)});
  }
  return Logged({{"filter", record}},
                {{"filterKey", Set(&filter->filterKey)},
                 {"description", filter->displayData.description != nullptr},
                 {"providerKey", filter->providerKey != nullptr},
                 {"providerData", filter->providerData.size != 0},
                 {"filterType", Set(&filter->action.filterType)},
                 {"rawContext", filter->rawContext != 0},
                 {"sd", sd != nullptr}},
                [&] { return wfp::AddFilter(engineHandle, record, id); });
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) {
  return Logged({{"id", id}}, {}, [&] { return wfp::DeleteFilterById(engineHandle, id); });
}

}  // extern "C"
