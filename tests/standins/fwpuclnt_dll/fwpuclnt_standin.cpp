// Recording stand-in for fwpuclnt.dll; the log format is described in README.md beside
// this file. Every call succeeds and appends one line.
#include <fwpmu.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

SRWLOCK g_log_lock = SRWLOCK_INIT;
volatile LONG64 g_last_handle = 0;
volatile LONG64 g_last_filter_id = 0;

// Where the lines go: BRUMO_FWP_LOG, or fwpuclnt.log beside this DLL.
std::wstring LogPath() {
  wchar_t buffer[MAX_PATH * 2];
  DWORD length = GetEnvironmentVariableW(L"BRUMO_FWP_LOG", buffer, MAX_PATH * 2);
  if (length > 0 && length < MAX_PATH * 2) return std::wstring(buffer, length);
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&g_log_lock), &self);
  length = GetModuleFileNameW(self, buffer, MAX_PATH * 2);
  std::wstring path(buffer, length);
  path.resize(path.find_last_of(L"\\/") + 1);  // npos + 1 is 0
  return path + L"fwpuclnt.log";
}

class Line {
 public:
  explicit Line(const char* function) : text_(function) {}

  Line& Raw(const std::string& key, const std::string& value) {
    text_ += '\t' + key + '=' + value;
    return *this;
  }
  Line& Number(const std::string& key, unsigned long long value) {
    return Raw(key, std::to_string(value));
  }
  Line& Hex(const std::string& key, unsigned long long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "0x%llx", value);
    return Raw(key, buffer);
  }
  Line& Handle(const char* key, HANDLE handle) {
    return Hex(key, reinterpret_cast<std::uintptr_t>(handle));
  }
  Line& Present(const char* key, const void* pointer) {
    return Raw(key, pointer == nullptr ? "null" : "set");
  }
  Line& Guid(const std::string& key, const GUID* g) {
    if (g == nullptr) return Raw(key, "null");
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g->Data1), g->Data2, g->Data3, g->Data4[0],
                  g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6],
                  g->Data4[7]);
    return Raw(key, buffer);
  }
  Line& Text(const char* key, const wchar_t* text) {
    if (text == nullptr) return Raw(key, "null");
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return Raw(key, "\"?\"");
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();  // the terminating NUL
    std::string quoted = "\"";
    for (const char c : utf8) {
      const std::string plain(1, c);
      quoted += c == '\\'   ? "\\\\"
                : c == '"'  ? "\\\""
                : c == '\t' ? "\\t"
                : c == '\r' ? "\\r"
                : c == '\n' ? "\\n"
                            : plain;
    }
    return Raw(key, quoted + '"');
  }
  // FWP_VALUE0 and FWP_CONDITION_VALUE0 share the members read here.
  template <typename Value>
  Line& TypedValue(const std::string& prefix, const Value& value) {
    Number(prefix + ".type", static_cast<unsigned>(value.type));
    const std::string key = prefix + ".value";
    if (value.type == FWP_EMPTY) return Raw(key, "");
    if (value.type == FWP_UINT8) return Number(key, value.uint8);
    if (value.type == FWP_UINT16) return Number(key, value.uint16);
    if (value.type == FWP_UINT32) return Number(key, value.uint32);
    if (value.type != FWP_UINT64) return Raw(key, "?");
    return value.uint64 == nullptr ? Raw(key, "null") : Number(key, *value.uint64);
  }

  // Appends the line, whole in one write under the lock, with status 0 and returns 0.
  DWORD Write() {
    text_ += "\tstatus=0\n";
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
    return 0;
  }

 private:
  std::string text_;
};

// The common head of a sublayer's and a filter's fields.
template <typename Record>
Line& Display(Line& line, const char* key_name, const GUID& key, const Record& record) {
  return line.Guid(key_name, &key)
      .Text("name", record.displayData.name)
      .Text("description", record.displayData.description)
      .Number("flags", record.flags)
      .Guid("providerKey", record.providerKey)
      .Number("providerData.size", record.providerData.size);
}

}  // namespace

extern "C" {

DWORD WINAPI FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                             SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                             HANDLE* engineHandle) {
  Line line("FwpmEngineOpen0");
  line.Text("server", serverName)
      .Number("authn", authnService)
      .Present("authIdentity", authIdentity);
  if (session == nullptr) line.Raw("session", "null");
  if (session != nullptr) {
    line.Guid("session.key", &session->sessionKey)
        .Text("session.name", session->displayData.name)
        .Text("session.description", session->displayData.description)
        .Number("session.flags", session->flags)
        .Number("session.txnWaitTimeoutInMSec", session->txnWaitTimeoutInMSec)
        .Number("session.processId", session->processId)
        .Present("session.sid", session->sid)
        .Text("session.username", session->username)
        .Number("session.kernelMode", session->kernelMode ? 1 : 0);
  }
  const auto handle = reinterpret_cast<HANDLE>(
      static_cast<std::uintptr_t>(0x10000 + 16 * InterlockedIncrement64(&g_last_handle)));
  if (engineHandle != nullptr) *engineHandle = handle;
  return line.Handle("handle", handle).Write();
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle) {
  return Line("FwpmEngineClose0").Handle("handle", engineHandle).Write();
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) {
  return Line("FwpmTransactionBegin0")
      .Handle("handle", engineHandle)
      .Number("flags", flags)
      .Write();
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engineHandle) {
  return Line("FwpmTransactionCommit0").Handle("handle", engineHandle).Write();
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engineHandle) {
  return Line("FwpmTransactionAbort0").Handle("handle", engineHandle).Write();
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                              PSECURITY_DESCRIPTOR sd) {
  Line line("FwpmSubLayerAdd0");
  line.Handle("handle", engineHandle);
  if (subLayer == nullptr) line.Raw("sublayer", "null");
  if (subLayer != nullptr) {
    Display(line, "key", subLayer->subLayerKey, *subLayer).Number("weight", subLayer->weight);
  }
  return line.Present("sd", sd).Write();
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) {
  return Line("FwpmSubLayerDeleteByKey0").Handle("handle", engineHandle).Guid("key", key).Write();
}

DWORD WINAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter,
                            PSECURITY_DESCRIPTOR sd, UINT64* id) {
  Line line("FwpmFilterAdd0");
  line.Handle("handle", engineHandle);
  if (filter == nullptr) line.Raw("filter", "null");
  if (filter != nullptr) {
    Display(line, "filterKey", filter->filterKey, *filter)
        .Guid("layer", &filter->layerKey)
        .Guid("sublayer", &filter->subLayerKey)
        .TypedValue("weight", filter->weight)
        .Number("conditions", filter->numFilterConditions);
    for (UINT32 i = 0; i < filter->numFilterConditions && filter->filterCondition != nullptr; ++i) {
      const FWPM_FILTER_CONDITION0& condition = filter->filterCondition[i];
      const std::string prefix = "cond" + std::to_string(i);
      line.Guid(prefix + ".field", &condition.fieldKey)
          .Number(prefix + ".match", static_cast<unsigned>(condition.matchType))
          .TypedValue(prefix, condition.conditionValue);
    }
    line.Hex("action.type", filter->action.type)
        .Guid("action.key", &filter->action.filterType)
        .Number("rawContext", filter->rawContext);
  }
  const auto new_id = static_cast<UINT64>(InterlockedIncrement64(&g_last_filter_id));
  if (id != nullptr) *id = new_id;
  return line.Present("sd", sd).Number("id", new_id).Write();
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) {
  return Line("FwpmFilterDeleteById0").Handle("handle", engineHandle).Number("id", id).Write();
}

}  // extern "C"
