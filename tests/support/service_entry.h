// The "BrumoVPN" entry of the Service Control Manager, for the programs that install and
// drive the product as a service (the end-to-end tests, brumoctl's pipe test, the service
// benchmark). Windows only; runs under Wine as well. Not thread-safe.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <string>

#include "common/scoped_resource_win.h"
#include "control/control_names.h"

namespace brumo::test_support {

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

// "running(checkpoint 0, wait hint 0, controls 1, exit 0/0)" and the like.
std::string Describe(const StatusSample& sample);

// `exe` with quotes around it, as a service's image path must be when it holds a space.
std::wstring QuotedPath(const std::wstring& exe);

// The entry, opened with full access. Each call returns 0 or the Win32 error of the call
// that failed.
class ServiceEntry {
 public:
  ServiceEntry() = default;
  ServiceEntry(const ServiceEntry&) = delete;
  ServiceEntry& operator=(const ServiceEntry&) = delete;

  DWORD Connect();
  // Stops and deletes an entry of that name, whoever made it (an aborted earlier run, or
  // this one), and waits until the SCM has let go of it, also when it was already marked
  // for delete.
  DWORD RemoveExisting();
  // Creates the entry for `exe` (own process, demand start); it must not exist.
  DWORD Install(const std::wstring& exe);
  // Points the stopped entry at another copy of the executable.
  DWORD Reconfigure(const std::wstring& exe);
  DWORD Start();
  // The stop control; `sample` (optional) gets the status it returns.
  DWORD Stop(StatusSample* sample = nullptr);
  DWORD Query(StatusSample* sample) const;
  // ControlService with `code`; `sample` (optional) gets the status it returns.
  DWORD Control(DWORD code, StatusSample* sample = nullptr);
  // Polls every few milliseconds until the state is `state` or `timeout_ms` has passed;
  // `last` (optional) gets the last reading. True when the state was reached.
  bool WaitForState(DWORD state, DWORD timeout_ms, StatusSample* last = nullptr) const;

  bool installed() const { return static_cast<bool>(service_); }
  const std::wstring& binary() const { return binary_; }

 private:
  ScopedServiceHandle manager_;
  ScopedServiceHandle service_;
  std::wstring binary_;
};

}  // namespace brumo::test_support
