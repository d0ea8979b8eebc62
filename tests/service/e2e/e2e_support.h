// Support of the end-to-end tests, which run the product as the "BrumoVPN" service of the
// Wine prefix and drive it through the SCM and its control pipe: the service entry, a
// pipe client, the call logs of the stand-in DLLs beside the service, and the TUN device,
// which the Linux-side wrapper (run_e2e.sh) creates and deletes on request.
//
// Wine ends its services when the last ordinary Wine process exits, so one long-lived
// test program holds the service for all cases. Nothing here is thread-safe unless stated.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/scoped_resource.h"

namespace brumo::e2e {

inline constexpr wchar_t kServiceName[] = L"BrumoVPN";
inline constexpr wchar_t kControlPipe[] = L"\\\\.\\pipe\\BrumoVPN";
inline constexpr wchar_t kTunDevice[] = L"brumotun";

// One reading of the service's status.
struct StatusSample {
  DWORD state = 0;
  DWORD check_point = 0;
  DWORD wait_hint = 0;
  DWORD controls_accepted = 0;
  DWORD win32_exit_code = 0;
  DWORD specific_exit_code = 0;
  DWORD process_id = 0;

  // Everything but the process id, which changes without a report.
  bool SameReport(const StatusSample& other) const;
};

std::string Describe(const StatusSample& sample);

// The "BrumoVPN" entry of the SCM, opened with full access. Each call returns 0 or the
// Win32 error of the call that failed.
class ServiceEntry {
 public:
  ServiceEntry() = default;
  ServiceEntry(const ServiceEntry&) = delete;
  ServiceEntry& operator=(const ServiceEntry&) = delete;

  DWORD Connect();
  // Stops and deletes an entry of that name, whoever made it (an aborted earlier run, or
  // this one), waiting until the SCM has let go of it.
  DWORD RemoveExisting();
  // Creates the entry for `exe` (own process, demand start); it must not exist.
  DWORD Install(const std::wstring& exe);
  // Points the stopped entry at another copy of the executable.
  DWORD Reconfigure(const std::wstring& exe);
  DWORD Start();
  DWORD Query(StatusSample* sample) const;
  // ControlService with `code`; `sample` gets the status it returns.
  DWORD Control(DWORD code, StatusSample* sample);
  // Polls every few milliseconds until the state is `state` or `timeout_ms` has passed;
  // `last` gets the last reading. True when the state was reached.
  bool WaitForState(DWORD state, DWORD timeout_ms, StatusSample* last) const;

  bool installed() const { return static_cast<bool>(service_); }
  const std::wstring& binary() const { return binary_; }
  // For a second thread that only queries (the SCM serialises its calls).
  SC_HANDLE handle() const { return service_.get(); }

 private:
  ScopedServiceHandle manager_;
  ScopedServiceHandle service_;
  std::wstring binary_;
};

// `exe` with quotes around it, as a service's image path must be when it holds a space.
std::wstring QuotedPath(const std::wstring& exe);

// One exchange over the control pipe: connect (waiting out a busy pipe, or one that is
// between two instances, for up to `connect_ms`), write the request, read until the server
// disconnects. `error` is 0 or the Win32 error that ended the exchange early.
struct PipeExchange {
  DWORD error = 0;
  std::string reply;
};
PipeExchange SendRequest(std::string_view request, DWORD connect_ms = 20000);

// A client connection to the control pipe that sends nothing: it holds the server's only
// instance until the server drops it. Empty with `*error` set when it could not connect.
ScopedFileHandle ConnectControlPipe(DWORD connect_ms, DWORD* error);

// Whether the server has dropped `pipe` (PeekNamedPipe reports the pipe broken).
bool ServerDisconnected(HANDLE pipe);

// One line of the stand-in fwpuclnt.dll's log: the function and its key=value fields.
struct FwpCall {
  std::string function;
  std::map<std::string, std::string> fields;

  // The field's value, or "<missing>" when the line has no such field.
  std::string Field(const std::string& key) const;
};

// The call logs that the stand-ins beside one copy of the service write: tun2proxy.log
// (written only while it exists; see tests/fakes/tun2proxy/README.md) and fwpuclnt.log.
class StandinLogs {
 public:
  // `folder` ends in a backslash.
  explicit StandinLogs(std::wstring folder);

  // Creates an empty tun2proxy.log unless there is one; true when it exists afterwards.
  bool EnableTun2proxyLog() const;
  // Later reads return only what was appended after this call.
  void Mark();
  std::vector<std::string> Tun2proxyLines() const;
  std::vector<FwpCall> FwpCalls() const;

 private:
  std::wstring folder_;
  std::size_t tun2proxy_mark_ = 0;
  std::size_t fwp_mark_ = 0;
};

// The TUN device "brumotun". A Windows program cannot create one, so requests go through
// files to the wrapper that started this program (run_e2e.sh), which runs `ip` as root.
class TunDevice {
 public:
  // Reads the wrapper's settings from the environment: BRUMO_E2E_DEVICE_CONTROL ("yes", or
  // why the device cannot be changed) and BRUMO_E2E_REQUESTS (the request folder).
  TunDevice();

  bool controllable() const { return why_not_.empty(); }
  // Why the device cannot be created or deleted here; empty when it can.
  const std::string& why_not() const { return why_not_; }

  // The index Wine's ConvertInterfaceAliasToLuid/ConvertInterfaceLuidToIndex give the
  // device, or 0 when Wine does not resolve the alias.
  static std::uint32_t WineIndex();

  // Has the wrapper create the device and waits until Wine resolves it. Empty on success,
  // else what went wrong.
  std::string Create();
  // Has the wrapper delete the device. Wine may still resolve it afterwards: its interface
  // table keeps every interface it has seen for the rest of the Wine session.
  std::string Delete();

 private:
  std::string Request(const char* verb);

  std::wstring folder_;
  std::string why_not_;
  int next_request_ = 1;
};

// `text` without its trailing CR and LF bytes.
std::string WithoutLineEnd(std::string text);

}  // namespace brumo::e2e
