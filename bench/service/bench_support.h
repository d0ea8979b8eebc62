// Support of the service benchmark (service_bench.cpp) beyond tests/support: one exchange
// as the benchmark counts it, and readings of another process's threads, CPU time, memory
// and handles.
// Windows only; runs under Wine as well. Nothing here is thread-safe unless stated.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/scoped_resource_win.h"
#include "common/utf8_win.h"
#include "control/control_names.h"
#include "tests/support/service_entry.h"
#include "tests/support/standin_log.h"

namespace brumo::bench {

inline constexpr const wchar_t* kServicePipe = kPipeName;
// The bare server's pipe: another name, so that it runs beside the service.
inline constexpr wchar_t kBarePipe[] = L"\\\\.\\pipe\\BrumoVPN-bench-bare";

// One exchange: connect, write the request, read until the server disconnects.
struct Exchange {
  DWORD error = 0;       // 0, or the Win32 error that ended the exchange early
  std::string reply;     // everything read before the disconnect
  int open_retries = 0;  // opens that failed with a busy pipe or no instance
};

// Runs one exchange with `pipe` through the test support's client (a busy pipe is waited
// for with WaitNamedPipeW, one not there yet is tried again after a millisecond), giving up
// with the last error after `connect_ms`. Safe to call from several threads at once.
Exchange RunExchange(const wchar_t* pipe, std::string_view request, DWORD connect_ms);

// The SCM entry and what the stand-in fwpuclnt.dll's log leaves in its engine, from the
// test support.
using test_support::NothingLeft;
using test_support::ReadEngineLeft;
using test_support::ServiceEntry;
using test_support::StatusSample;

// One reading of a process, another one included. Fields the platform did not answer
// are -1.
struct ProcessReading {
  long threads = -1;
  double cpu_seconds = -1;  // user and kernel time of all its threads
  std::int64_t working_set = -1;
  // PrivateUsage where the platform fills it; else PagefileUsage, which is the same
  // commit charge on Windows and, under Wine, the process's anonymous resident memory.
  std::int64_t private_bytes = -1;
  long handles = -1;
};

ProcessReading ReadProcess(DWORD process_id);

// The process's threads by the module their start address lies in, as "name×count" texts
// joined by ", " (for instance "BrumoVPN.exe×1, msvcrt.dll×1"); empty when the platform
// does not tell.
std::string ThreadStartModules(DWORD process_id);

// Whether Wine (or Windows) resolves the interface alias "brumotun".
bool TunDevicePresent();

// The folder of this program, ending in a backslash.
std::wstring OwnDirectory();

}  // namespace brumo::bench
