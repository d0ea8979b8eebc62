#include "bench/service/bench_support.h"

#include <winsock2.h>
// After winsock2.h: netioapi.h needs its types, and windows.h must not bring winsock.h.
#include <iphlpapi.h>
#include <netioapi.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winsvc.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <set>
#include <vector>

#include "tests/support/system_query_win.h"

namespace brumo::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The head of SYSTEM_PROCESS_INFORMATION as the kernel lays it out; winternl.h hides the
// times and the handle count in reserved bytes.
struct ProcessEntryHead {
  ULONG next_entry_offset;
  ULONG number_of_threads;
  LARGE_INTEGER working_set_private_size;
  ULONG hard_fault_count;
  ULONG number_of_threads_high_watermark;
  ULONGLONG cycle_time;
  LARGE_INTEGER create_time;
  LARGE_INTEGER user_time;
  LARGE_INTEGER kernel_time;
  struct {
    USHORT length;
    USHORT maximum_length;
    PWSTR buffer;
  } image_name;
  LONG base_priority;
  HANDLE unique_process_id;
  HANDLE inherited_from_unique_process_id;
  ULONG handle_count;
};
static_assert(offsetof(ProcessEntryHead, user_time) == 0x28);
static_assert(offsetof(ProcessEntryHead, kernel_time) == 0x30);
static_assert(offsetof(ProcessEntryHead, unique_process_id) == 0x50);
static_assert(offsetof(ProcessEntryHead, handle_count) == 0x60);

// Threads and CPU time from the system's process list: Wine 8's GetProcessTimes answers
// fixed figures for other processes, while this list sums its threads' real times.
void ReadThreadsAndTimes(DWORD process_id, ProcessReading* reading) {
  const std::vector<char> buffer = system_query::Query(system_query::kSystemProcessInformation);
  std::size_t offset = 0;
  while (!buffer.empty() && offset + sizeof(ProcessEntryHead) <= buffer.size()) {
    const auto* entry = reinterpret_cast<const ProcessEntryHead*>(buffer.data() + offset);
    if (reinterpret_cast<ULONG_PTR>(entry->unique_process_id) == process_id) {
      reading->threads = static_cast<long>(entry->number_of_threads);
      reading->cpu_seconds =
          static_cast<double>(entry->user_time.QuadPart + entry->kernel_time.QuadPart) / 1e7;
      return;
    }
    if (entry->next_entry_offset == 0) return;
    offset += entry->next_entry_offset;
  }
}

void ReadMemory(DWORD process_id, ProcessReading* reading) {
  const ScopedHandle process(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  if (!process) return;
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters))) {
    return;
  }
  reading->working_set = static_cast<std::int64_t>(counters.WorkingSetSize);
  reading->private_bytes = static_cast<std::int64_t>(
      counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage);
}

std::string ReadWholeFile(const std::wstring& path) {
  std::string text;
  const ScopedFileHandle file(::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return text;
  char buffer[1 << 16];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  return text;
}

// The value of `key` in a log line of TAB-separated key=value fields, or empty.
std::string_view Field(std::string_view line, std::string_view key) {
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) tab = line.size();
    const std::string_view field = line.substr(start, tab - start);
    if (field.size() > key.size() && field.substr(0, key.size()) == key &&
        field[key.size()] == '=') {
      return field.substr(key.size() + 1);
    }
    start = tab + 1;
  }
  return {};
}

}  // namespace

Exchange RunExchange(const wchar_t* pipe_name, std::string_view request, DWORD connect_ms) {
  Exchange exchange;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(connect_ms);
  ScopedFileHandle pipe;
  for (;;) {
    pipe.reset(::CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr));
    if (pipe) break;
    exchange.error = ::GetLastError();
    if (Clock::now() >= until) return exchange;
    ++exchange.open_retries;
    if (exchange.error == ERROR_PIPE_BUSY) {
      ::WaitNamedPipeW(pipe_name, 1000);
    } else if (exchange.error == ERROR_FILE_NOT_FOUND) {
      ::SwitchToThread();
    } else {
      return exchange;
    }
  }
  exchange.error = 0;
  DWORD written = 0;
  if (!::WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written,
                   nullptr)) {
    exchange.error = ::GetLastError();
    return exchange;
  }
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(pipe.get(), buffer, sizeof(buffer), &got, nullptr)) {
      const DWORD error = ::GetLastError();
      // The server ends its reply by disconnecting.
      if (error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED) exchange.error = error;
      return exchange;
    }
    if (got == 0) return exchange;
    exchange.reply.append(buffer, got);
  }
}

DWORD ServiceEntry::Connect() {
  manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  return manager_ ? 0 : ::GetLastError();
}

DWORD ServiceEntry::RemoveExisting() {
  service_.reset();
  ScopedServiceHandle old(::OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!old) {
    const DWORD error = ::GetLastError();
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;
  }
  SERVICE_STATUS status{};
  ::ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
  const Clock::time_point stop_until = Clock::now() + std::chrono::seconds(15);
  while (::QueryServiceStatus(old.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
         Clock::now() < stop_until) {
    ::Sleep(20);
    if (status.dwCurrentState == SERVICE_START_PENDING) {
      ::ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
    }
  }
  if (!::DeleteService(old.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return ::GetLastError();
  }
  old.reset();
  // The SCM refuses a new entry of the name until the deleted one is let go.
  const Clock::time_point gone_until = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    const ScopedServiceHandle probe(
        ::OpenServiceW(manager_.get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!probe) {
      const DWORD error = ::GetLastError();
      return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;
    }
    if (Clock::now() >= gone_until) return ERROR_SERVICE_MARKED_FOR_DELETE;
    ::Sleep(20);
  }
}

DWORD ServiceEntry::Install(const std::wstring& exe) {
  // Quoted, as an image path with spaces must be.
  const std::wstring image = L"\"" + exe + L"\"";
  service_.reset(::CreateServiceW(manager_.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
  return service_ ? 0 : ::GetLastError();
}

DWORD ServiceEntry::Start() {
  return ::StartServiceW(service_.get(), 0, nullptr) ? 0 : ::GetLastError();
}

DWORD ServiceEntry::Stop() {
  SERVICE_STATUS status{};
  return ::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status) ? 0 : ::GetLastError();
}

DWORD ServiceEntry::Query(DWORD* state, DWORD* process_id) const {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
    return ::GetLastError();
  }
  *state = status.dwCurrentState;
  *process_id = status.dwProcessId;
  return 0;
}

bool ServiceEntry::WaitForState(DWORD state, DWORD timeout_ms) const {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    DWORD current = 0;
    DWORD process_id = 0;
    if (Query(&current, &process_id) == 0 && current == state) return true;
    if (Clock::now() >= until) return false;
    ::Sleep(1);
  }
}

ProcessReading ReadProcess(DWORD process_id) {
  ProcessReading reading;
  ReadThreadsAndTimes(process_id, &reading);
  ReadMemory(process_id, &reading);
  reading.handles = system_query::CountHandles(process_id);
  return reading;
}

FilterLedger ReadFilterLedger(const std::wstring& log_path) {
  FilterLedger ledger;
  const std::string text = ReadWholeFile(log_path);
  // Ids and handles count up from 1 in each service process, so they are tracked in the
  // order of the log: a process that leaves nothing open leaves nothing to collide with.
  std::multiset<std::string> filters;
  std::multiset<std::string> engines;
  long sublayers = 0;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos;
       start = end + 1, end = text.find('\n', start)) {
    const std::string_view line(text.data() + start, end - start);
    const std::string_view function = line.substr(0, line.find('\t'));
    if (function == "FwpmEngineOpen0") {
      engines.insert(std::string(Field(line, "handle")));
    } else if (function == "FwpmEngineClose0") {
      const auto found = engines.find(std::string(Field(line, "handle")));
      if (found != engines.end()) engines.erase(found);
    } else if (function == "FwpmSubLayerAdd0") {
      ++sublayers;
    } else if (function == "FwpmSubLayerDeleteByKey0") {
      --sublayers;
    } else if (function == "FwpmFilterAdd0") {
      ++ledger.filters_added;
      filters.insert(std::string(Field(line, "id")));
    } else if (function == "FwpmFilterDeleteById0") {
      ++ledger.filters_deleted;
      const auto found = filters.find(std::string(Field(line, "id")));
      if (found != filters.end()) filters.erase(found);
    }
  }
  ledger.filters_left = static_cast<long>(filters.size());
  ledger.sublayers_left = sublayers;
  ledger.engines_left = static_cast<long>(engines.size());
  return ledger;
}

std::string ThreadStartModules(DWORD process_id) {
  using QueryThread = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
  constexpr ULONG kThreadQuerySetWin32StartAddress = 9;
  const auto query = reinterpret_cast<QueryThread>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  const ScopedHandle process(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  if (query == nullptr || !process) return {};
  std::vector<HMODULE> modules(512);
  DWORD needed = 0;
  if (!::EnumProcessModulesEx(process.get(), modules.data(),
                              static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed,
                              LIST_MODULES_ALL)) {
    return {};
  }
  modules.resize(std::min<std::size_t>(modules.size(), needed / sizeof(HMODULE)));
  struct Range {
    std::uintptr_t begin;
    std::uintptr_t end;
    std::string name;
  };
  std::vector<Range> ranges;
  for (HMODULE module : modules) {
    MODULEINFO info{};
    wchar_t name[MAX_PATH];
    if (::GetModuleInformation(process.get(), module, &info, sizeof(info)) &&
        ::GetModuleBaseNameW(process.get(), module, name, MAX_PATH) > 0) {
      const auto begin = reinterpret_cast<std::uintptr_t>(info.lpBaseOfDll);
      ranges.push_back({begin, begin + info.SizeOfImage, Narrow(name)});
    }
  }
  // In the order the threads were listed, which is the order they were made in.
  std::vector<std::pair<std::string, int>> counts;
  const ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return {};
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
       more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != process_id) continue;
    const ScopedHandle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
    void* start = nullptr;
    std::string name = "?";
    if (thread && query(thread.get(), kThreadQuerySetWin32StartAddress, &start, sizeof(start),
                        nullptr) == 0) {
      const auto address = reinterpret_cast<std::uintptr_t>(start);
      for (const Range& range : ranges) {
        if (address >= range.begin && address < range.end) name = range.name;
      }
    }
    const auto found = std::find_if(counts.begin(), counts.end(),
                                    [&name](const auto& count) { return count.first == name; });
    if (found == counts.end()) {
      counts.emplace_back(name, 1);
    } else {
      ++found->second;
    }
  }
  std::string text;
  for (const auto& [name, count] : counts) {
    text += (text.empty() ? "" : ", ") + name + "×" + std::to_string(count);
  }
  return text;
}

bool TunDevicePresent() {
  NET_LUID luid{};
  if (::ConvertInterfaceAliasToLuid(L"brumotun", &luid) != NO_ERROR) return false;
  NET_IFINDEX index = 0;
  return ::ConvertInterfaceLuidToIndex(&luid, &index) == NO_ERROR && index != 0;
}

std::wstring OwnDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
  return out;
}

}  // namespace brumo::bench
