// Readings of the system's process and handle tables through NtQuerySystemInformation,
// for the reliability and benchmark programs. Wine 8 answers GetProcessHandleCount with 0
// and GetProcessTimes with fixed figures for other processes; these tables hold the real
// ones. Windows only; any thread.
#pragma once

#include <windows.h>

#include <vector>

namespace brumo::system_query {

inline constexpr ULONG kSystemProcessInformation = 5;
inline constexpr ULONG kSystemExtendedHandleInformation = 64;

// The whole answer of one information class, its buffer grown until it fits (up to
// 256 MiB); empty on failure.
std::vector<char> Query(ULONG information_class);

// The open handles of `process_id`, counted in the system's handle table; -1 when the
// table cannot be read.
long CountHandles(DWORD process_id);

}  // namespace brumo::system_query
