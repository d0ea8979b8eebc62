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
#include <vector>

#include "tests/support/pipe_client.h"
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

}  // namespace

Exchange RunExchange(const wchar_t* pipe_name, std::string_view request, DWORD connect_ms) {
  const test_support::Exchange round_trip =
      test_support::RoundTrip(request, std::chrono::milliseconds(connect_ms), pipe_name);
  Exchange exchange;
  exchange.open_retries = round_trip.open_retries;
  exchange.reply = round_trip.reply.bytes;
  if (!round_trip.opened) {
    exchange.error = round_trip.open_error;
  } else if (!round_trip.written) {
    exchange.error = ERROR_WRITE_FAULT;
  } else if (!test_support::IsDisconnect(round_trip.reply.end_error)) {
    exchange.error = round_trip.reply.end_error;
  }
  return exchange;
}

ProcessReading ReadProcess(DWORD process_id) {
  ProcessReading reading;
  ReadThreadsAndTimes(process_id, &reading);
  ReadMemory(process_id, &reading);
  reading.handles = system_query::CountHandles(process_id);
  return reading;
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

}  // namespace brumo::bench
