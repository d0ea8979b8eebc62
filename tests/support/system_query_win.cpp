#include "tests/support/system_query_win.h"

#include <cstddef>

namespace brumo::system_query {
namespace {

constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);

using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

// SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX and its table (class 64), not in winternl.h.
struct HandleEntry {
  void* object;
  ULONG_PTR process_id;
  ULONG_PTR handle;
  ULONG access;
  USHORT back_trace_index;
  USHORT type_index;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
static_assert(sizeof(HandleEntry) == 40);
static_assert(offsetof(HandleTable, entries) == 16);

}  // namespace

std::vector<char> Query(ULONG information_class) {
  const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return {};
  std::vector<char> buffer(std::size_t{1} << 18);
  for (;;) {
    ULONG needed = 0;
    const LONG status =
        query(information_class, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) return buffer;
    if (status != kInfoLengthMismatch || buffer.size() >= (std::size_t{1} << 28)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

long CountHandles(DWORD process_id) {
  const std::vector<char> buffer = Query(kSystemExtendedHandleInformation);
  if (buffer.size() < sizeof(HandleTable)) return -1;
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  long count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) {
    if (table->entries[i].process_id == process_id) ++count;
  }
  return count;
}

}  // namespace brumo::system_query
