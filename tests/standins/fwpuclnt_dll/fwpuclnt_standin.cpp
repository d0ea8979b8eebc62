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

HANDLE NextHandle() {
  const LONG64 n = InterlockedIncrement64(&g_last_handle);
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x10000 + 16 * n));
}

std::string Utf8(const wchar_t* text) {
  const int length = static_cast<int>(wcslen(text));
  if (length == 0) return std::string();
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return "?";
  std::string out(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), needed, nullptr, nullptr);
  return out;
}

class Line {
 public:
  explicit Line(const char* function) : text_(function) {}

  Line& Number(const char* key, unsigned long long value) {
    return Raw(key, std::to_string(value));
  }
  Line& Hex(const char* key, unsigned long long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "0x%llx", value);
    return Raw(key, buffer);
  }
  Line& Handle(const char* key, HANDLE handle) {
    return Hex(key, static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
  }
  Line& Guid(const char* key, const GUID* guid) {
    if (guid == nullptr) return Raw(key, "null");
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid->Data1), guid->Data2, guid->Data3, guid->Data4[0],
                  guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5],
                  guid->Data4[6], guid->Data4[7]);
    return Raw(key, buffer);
  }
  Line& Text(const char* key, const wchar_t* text) {
    if (text == nullptr) return Raw(key, "null");
    std::string quoted = "\"";
    for (const char c : Utf8(text)) {
      switch (c) {
        case '\\':
          quoted += "\\\\";
          break;
        case '"':
          quoted += "\\\"";
          break;
        case '\t':
          quoted += "\\t";
          break;
        case '\r':
          quoted += "\\r";
          break;
        case '\n':
          quoted += "\\n";
          break;
        default:
          quoted += c;
      }
    }
    quoted += '"';
    return Raw(key, quoted);
  }
  Line& Present(const char* key, const void* pointer) {
    return Raw(key, pointer == nullptr ? "null" : "set");
  }
  // FWP_VALUE0 and FWP_CONDITION_VALUE0 share the members read here.
  template <typename Value>
  Line& TypedValue(const std::string& prefix, const Value& value) {
    Number((prefix + ".type").c_str(), static_cast<unsigned>(value.type));
    const std::string key = prefix + ".value";
    switch (value.type) {
      case FWP_EMPTY:
        return Raw(key.c_str(), "");
      case FWP_UINT8:
        return Number(key.c_str(), value.uint8);
      case FWP_UINT16:
        return Number(key.c_str(), value.uint16);
      case FWP_UINT32:
        return Number(key.c_str(), value.uint32);
      case FWP_UINT64:
        if (value.uint64 == nullptr) return Raw(key.c_str(), "null");
        return Number(key.c_str(), *value.uint64);
      default:
        return Raw(key.c_str(), "?");
    }
  }
  Line& Raw(const char* key, const std::string& value) {
    text_ += '\t';
    text_ += key;
    text_ += '=';
    text_ += value;
    return *this;
  }

  // Appends the line with status 0 and returns that status.
  DWORD Write() {
    Number("status", 0);
    text_ += '\n';
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
  static std::wstring LogPath() {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(L"BRUMO_FWP_LOG", buffer, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2) return std::wstring(buffer, length);

    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&g_log_lock), &self);
    const DWORD module_length = GetModuleFileNameW(self, buffer, MAX_PATH * 2);
    std::wstring path(buffer, module_length);
    const std::size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + L"fwpuclnt.log";
  }

  std::string text_;
};

}  // namespace

extern "C" {

DWORD WINAPI FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                             SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                             HANDLE* engineHandle) {
  Line line("FwpmEngineOpen0");
  line.Text("server", serverName)
      .Number("authn", authnService)
      .Present("authIdentity", authIdentity);
  if (session == nullptr) {
    line.Raw("session", "null");
  } else {
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
  const HANDLE handle = NextHandle();
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
  if (subLayer == nullptr) {
    line.Raw("sublayer", "null");
  } else {
    line.Guid("key", &subLayer->subLayerKey)
        .Text("name", subLayer->displayData.name)
        .Text("description", subLayer->displayData.description)
        .Number("flags", subLayer->flags)
        .Guid("providerKey", subLayer->providerKey)
        .Number("providerData.size", subLayer->providerData.size)
        .Number("weight", subLayer->weight);
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
  if (filter == nullptr) {
    line.Raw("filter", "null");
  } else {
    line.Guid("filterKey", &filter->filterKey)
        .Text("name", filter->displayData.name)
        .Text("description", filter->displayData.description)
        .Number("flags", filter->flags)
        .Guid("providerKey", filter->providerKey)
        .Number("providerData.size", filter->providerData.size)
        .Guid("layer", &filter->layerKey)
        .Guid("sublayer", &filter->subLayerKey)
        .TypedValue("weight", filter->weight)
        .Number("conditions", filter->numFilterConditions);
    for (UINT32 i = 0; i < filter->numFilterConditions && filter->filterCondition != nullptr; ++i) {
      const FWPM_FILTER_CONDITION0& condition = filter->filterCondition[i];
      const std::string prefix = "cond" + std::to_string(i);
      line.Guid((prefix + ".field").c_str(), &condition.fieldKey)
          .Number((prefix + ".match").c_str(), static_cast<unsigned>(condition.matchType))
          .TypedValue(prefix, condition.conditionValue);
    }
    line.Hex("action.type", filter->action.type)
        .Guid("action.key", &filter->action.filterType)
        .Number("rawContext", filter->rawContext);
  }
  const UINT64 new_id = static_cast<UINT64>(InterlockedIncrement64(&g_last_filter_id));
  if (id != nullptr) *id = new_id;
  return line.Present("sd", sd).Number("id", new_id).Write();
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) {
  return Line("FwpmFilterDeleteById0").Handle("handle", engineHandle).Number("id", id).Write();
}

}  // extern "C"
