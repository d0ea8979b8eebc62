// Recording stand-in for fwpuclnt.dll; the log format is described in README.md beside
// this file. Every call appends one line and succeeds, but for the one call a test set to
// fail (BrumoStandinFailCall).
#include <fwpmu.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL

namespace {

SRWLOCK g_log_lock = SRWLOCK_INIT;
volatile LONG64 g_last_handle = 0;
volatile LONG64 g_last_filter_id = 0;

// The call set to fail, and the calls of its function seen since it was set.
SRWLOCK g_fault_lock = SRWLOCK_INIT;
std::string g_fault_function;
UINT32 g_fault_nth = 0;
UINT32 g_fault_seen = 0;
DWORD g_fault_status = 0;

// What this call of `function` returns: the fault's status on the chosen call, else 0.
DWORD StatusOf(const char* function) {
  AcquireSRWLockExclusive(&g_fault_lock);
  const bool fails = g_fault_function == function && ++g_fault_seen == g_fault_nth;
  const DWORD status = fails ? g_fault_status : 0;
  ReleaseSRWLockExclusive(&g_fault_lock);
  return status;
}

// Values written other than as their type says.
struct Hex {
  unsigned long long value;
};
struct Present {
  const void* pointer;
};
Hex Handle(HANDLE handle) { return {reinterpret_cast<std::uintptr_t>(handle)}; }

template <typename... Args>
std::string Printf(const char* format, Args... args) {
  char buffer[48];
  std::snprintf(buffer, sizeof(buffer), format, args...);
  return buffer;
}

std::string Format(const std::string& raw) { return raw; }
std::string Format(unsigned long long value) { return std::to_string(value); }
std::string Format(Hex hex) { return Printf("0x%llx", hex.value); }
std::string Format(Present present) { return present.pointer == nullptr ? "null" : "set"; }
std::string Format(const GUID* g) {
  if (g == nullptr) return "null";
  const auto& d = g->Data4;
  return Printf("{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(g->Data1), g->Data2, g->Data3, d[0], d[1], d[2], d[3],
                d[4], d[5], d[6], d[7]);
}
std::string Format(const wchar_t* text) {
  if (text == nullptr) return "null";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "\"?\"";
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.pop_back();  // the terminating NUL
  const std::string escaped = "\\\"\t\r\n", as = "\\\"trn";
  std::string quoted = "\"";
  for (const char c : utf8) {
    const auto at = escaped.find(c);
    quoted += at == std::string::npos ? std::string(1, c) : std::string{'\\', as[at]};
  }
  return quoted + '"';
}

// Where the lines go: BRUMO_FWP_LOG, or fwpuclnt.log beside this DLL.
std::wstring LogPath() {
  wchar_t buffer[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableW(L"BRUMO_FWP_LOG", buffer, MAX_PATH * 2);
  if (length > 0 && length < MAX_PATH * 2) return std::wstring(buffer, length);
  length = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), buffer, MAX_PATH * 2);
  const std::wstring path(buffer, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"fwpuclnt.log";  // npos + 1 is 0
}

class Line {
 public:
  // The call's status is settled here, before the call has any effect.
  explicit Line(const char* function) : text_(function), status_(StatusOf(function)) {}

  DWORD status() const { return status_; }

  // Appends `key=value` for each pair of arguments.
  template <typename Value, typename... Rest>
  Line& Put(const std::string& key, const Value& value, const Rest&... rest) {
    text_ += '\t' + key + '=' + Format(value);
    if constexpr (sizeof...(rest) > 0) Put(rest...);
    return *this;
  }
  // FWP_VALUE0 and FWP_CONDITION_VALUE0 share the members read here.
  template <typename Value>
  Line& Typed(const std::string& prefix, const Value& value) {
    const auto type = value.type;
    const std::string key = prefix + ".value";
    Put(prefix + ".type", static_cast<unsigned>(type));
    if (type == FWP_EMPTY) return Put(key, "");
    if (type == FWP_UINT8) return Put(key, value.uint8);
    if (type == FWP_UINT16) return Put(key, value.uint16);
    if (type == FWP_UINT32) return Put(key, value.uint32);
    if (type != FWP_UINT64) return Put(key, "?");
    return value.uint64 == nullptr ? Put(key, "null") : Put(key, *value.uint64);
  }

  // Appends the line with the status, whole in one write under the lock; returns the status.
  DWORD Write() {
    text_ += "\tstatus=" + std::to_string(status_) + '\n';
    AcquireSRWLockExclusive(&g_log_lock);
    const HANDLE file = CreateFileW(LogPath().c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr);
      CloseHandle(file);
    }
    ReleaseSRWLockExclusive(&g_log_lock);
    return status_;
  }

 private:
  std::string text_;
  DWORD status_;
};

// The common head of a sublayer's and a filter's fields.
template <typename Record>
Line& Display(Line& line, const char* key_name, const GUID& key, const Record& record) {
  return line.Put(key_name, &key, "name", record.displayData.name, "description",
                  record.displayData.description, "flags", record.flags, "providerKey",
                  record.providerKey, "providerData.size", record.providerData.size);
}

}  // namespace

extern "C" {

// Test-only: from now on the `nth` call (from 1) of the function named `function` returns
// `status` and does nothing but log itself; a null `function` sets no fault.
void WINAPI BrumoStandinFailCall(const char* function, UINT32 nth, DWORD status) {
  AcquireSRWLockExclusive(&g_fault_lock);
  g_fault_function = function == nullptr ? "" : function;
  g_fault_nth = nth;
  g_fault_seen = 0;
  g_fault_status = status;
  ReleaseSRWLockExclusive(&g_fault_lock);
}

DWORD WINAPI FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                             SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                             HANDLE* engineHandle) {
  Line line("FwpmEngineOpen0");
  line.Put("server", serverName, "authn", authnService, "authIdentity", Present{authIdentity});
  if (session == nullptr) line.Put("session", "null");
  if (session != nullptr) {
    line.Put("session.key", &session->sessionKey, "session.name", session->displayData.name,
             "session.description", session->displayData.description, "session.flags",
             session->flags, "session.txnWaitTimeoutInMSec", session->txnWaitTimeoutInMSec,
             "session.processId", session->processId, "session.sid", Present{session->sid},
             "session.username", session->username, "session.kernelMode",
             session->kernelMode ? 1u : 0u);
  }
  const auto handle = line.status() != 0
                          ? nullptr
                          : reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(
                                0x10000 + 16 * InterlockedIncrement64(&g_last_handle)));
  if (engineHandle != nullptr) *engineHandle = handle;
  return line.Put("handle", Handle(handle)).Write();
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle) {
  return Line("FwpmEngineClose0").Put("handle", Handle(engineHandle)).Write();
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) {
  return Line("FwpmTransactionBegin0").Put("handle", Handle(engineHandle), "flags", flags).Write();
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engineHandle) {
  return Line("FwpmTransactionCommit0").Put("handle", Handle(engineHandle)).Write();
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engineHandle) {
  return Line("FwpmTransactionAbort0").Put("handle", Handle(engineHandle)).Write();
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                              PSECURITY_DESCRIPTOR sd) {
  Line line("FwpmSubLayerAdd0");
  line.Put("handle", Handle(engineHandle));
  if (subLayer == nullptr) line.Put("sublayer", "null");
  if (subLayer != nullptr) {
    Display(line, "key", subLayer->subLayerKey, *subLayer).Put("weight", subLayer->weight);
  }
  return line.Put("sd", Present{sd}).Write();
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) {
  return Line("FwpmSubLayerDeleteByKey0").Put("handle", Handle(engineHandle), "key", key).Write();
}

DWORD WINAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter,
                            PSECURITY_DESCRIPTOR sd, UINT64* id) {
  Line line("FwpmFilterAdd0");
  line.Put("handle", Handle(engineHandle));
  if (filter == nullptr) line.Put("filter", "null");
  if (filter != nullptr) {
    Display(line, "filterKey", filter->filterKey, *filter)
        .Put("layer", &filter->layerKey, "sublayer", &filter->subLayerKey)
        .Typed("weight", filter->weight)
        .Put("conditions", filter->numFilterConditions);
    for (UINT32 i = 0; i < filter->numFilterConditions && filter->filterCondition != nullptr; ++i) {
      const FWPM_FILTER_CONDITION0& condition = filter->filterCondition[i];
      const std::string prefix = "cond" + std::to_string(i);
      line.Put(prefix + ".field", &condition.fieldKey, prefix + ".match",
               static_cast<unsigned>(condition.matchType))
          .Typed(prefix, condition.conditionValue);
    }
    line.Put("action.type", Hex{filter->action.type}, "action.key", &filter->action.filterType,
             "rawContext", filter->rawContext);
  }
  const auto new_id = line.status() != 0
                          ? UINT64{0}
                          : static_cast<UINT64>(InterlockedIncrement64(&g_last_filter_id));
  if (id != nullptr) *id = new_id;
  return line.Put("sd", Present{sd}, "id", new_id).Write();
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) {
  return Line("FwpmFilterDeleteById0").Put("handle", Handle(engineHandle), "id", id).Write();
}

}  // extern "C"
