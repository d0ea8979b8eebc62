// Support of the service benchmark (service_bench.cpp): a pipe client that times one
// exchange, the "BrumoVPN" entry of the SCM, readings of another process's threads, CPU
// time, memory and handles, and the balance of the stand-in fwpuclnt.dll's call log.
// Windows only; runs under Wine as well. Nothing here is thread-safe unless stated.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/scoped_resource.h"

namespace brumo::bench {

inline constexpr wchar_t kServiceName[] = L"BrumoVPN";
inline constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\BrumoVPN";
// The bare server's pipe: another name, so that it runs beside the service.
inline constexpr wchar_t kBarePipe[] = L"\\\\.\\pipe\\BrumoVPN-bench-bare";

// One exchange: connect, write the request, read until the server disconnects.
struct Exchange {
  DWORD error = 0;       // 0, or the Win32 error that ended the exchange early
  std::string reply;     // everything read before the disconnect
  int open_retries = 0;  // opens that failed with a busy pipe or no instance
};

// Runs one exchange with `pipe`. Opens that find the pipe busy wait for it with
// WaitNamedPipeW; opens that find no instance (the server is between two instances, or
// not up yet) are retried at once after yielding the processor, so that the client adds
// no sleep of its own to the figure. Gives up with the last error after `connect_ms`.
// Safe to call from several threads at once.
Exchange RunExchange(const wchar_t* pipe, std::string_view request, DWORD connect_ms);

// The SCM entry "BrumoVPN", opened with full access. Calls return 0 or the Win32 error of
// the call that failed.
class ServiceEntry {
 public:
  ServiceEntry() = default;
  ServiceEntry(const ServiceEntry&) = delete;
  ServiceEntry& operator=(const ServiceEntry&) = delete;

  DWORD Connect();
  // Stops and deletes an entry of that name left by an earlier run, waiting until the
  // SCM has let go of it.
  DWORD RemoveExisting();
  // Creates the entry for `exe` (own process, demand start).
  DWORD Install(const std::wstring& exe);
  DWORD Start();
  // Sends the stop control.
  DWORD Stop();
  // The current state and process id (0 when stopped).
  DWORD Query(DWORD* state, DWORD* process_id) const;
  // Polls every millisecond until the state is `state`; false after `timeout_ms`.
  bool WaitForState(DWORD state, DWORD timeout_ms) const;

 private:
  ScopedServiceHandle manager_;
  ScopedServiceHandle service_;
};

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

// What the stand-in fwpuclnt.dll's log says is still open once every line is applied in
// order: engine handles, sublayers and filters.
// A log that does not exist counts as empty: the stand-in was never called.
struct FilterLedger {
  long filters_added = 0;
  long filters_deleted = 0;
  long filters_left = 0;
  long sublayers_left = 0;
  long engines_left = 0;
};

FilterLedger ReadFilterLedger(const std::wstring& log_path);

// Whether Wine (or Windows) resolves the interface alias "brumotun".
bool TunDevicePresent();

// The folder of this program, ending in a backslash.
std::wstring OwnDirectory();

std::string Narrow(std::wstring_view text);

}  // namespace brumo::bench
