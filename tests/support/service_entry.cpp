#include "tests/support/service_entry.h"

#include <type_traits>

#include <fmt/format.h>

#include <chrono>

#include "tests/support/test_support.h"

namespace brumo::test_support {
namespace {

// A running service is given this long to stop before its entry is deleted anyway.
constexpr auto kStopSettle = std::chrono::seconds(15);
// The SCM lets go of a deleted entry once nobody holds it; until then a new entry of the
// same name is refused.
constexpr auto kDeleteSettle = std::chrono::seconds(10);

// SERVICE_STATUS and SERVICE_STATUS_PROCESS share these fields; only the latter has the
// process id.
template <typename Status>
void Fill(const Status& status, StatusSample* sample) {
  *sample = {status.dwCurrentState,     status.dwCheckPoint,    status.dwWaitHint,
             status.dwControlsAccepted, status.dwWin32ExitCode, status.dwServiceSpecificExitCode};
  if constexpr (std::is_same_v<Status, SERVICE_STATUS_PROCESS>) {
    sample->process_id = status.dwProcessId;
  }
}

// Waits until no entry of the name is left, a deleted one included.
DWORD WaitUntilGone(SC_HANDLE manager) {
  DWORD error = 0;
  const bool settled = WaitUntil(
      [&] {
        const ScopedServiceHandle probe(
            ::OpenServiceW(manager, kServiceNameWide, SERVICE_QUERY_STATUS));
        error = probe ? 0 : ::GetLastError();
        return error != 0 && error != ERROR_SERVICE_MARKED_FOR_DELETE;
      },
      kDeleteSettle);
  if (!settled) return ERROR_SERVICE_MARKED_FOR_DELETE;
  return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;
}

}  // namespace

bool StatusSample::SameReport(const StatusSample& other) const {
  return state == other.state && check_point == other.check_point && wait_hint == other.wait_hint &&
         controls_accepted == other.controls_accepted && win32_exit_code == other.win32_exit_code &&
         specific_exit_code == other.specific_exit_code;
}

std::string Describe(const StatusSample& sample) {
  // SERVICE_STOPPED (1) to SERVICE_RUNNING (4).
  const char* const names[] = {"?", "stopped", "start-pending", "stop-pending", "running"};
  const char* name = sample.state <= SERVICE_RUNNING ? names[sample.state] : "?";
  return fmt::format("{}(checkpoint {}, wait hint {}, controls {}, exit {}/{})", name,
                     sample.check_point, sample.wait_hint, sample.controls_accepted,
                     sample.win32_exit_code, sample.specific_exit_code);
}

std::wstring QuotedPath(const std::wstring& exe) { return L"\"" + exe + L"\""; }

DWORD ServiceEntry::Connect() {
  manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  return manager_ ? 0 : ::GetLastError();
}

DWORD ServiceEntry::RemoveExisting() {
  service_.reset();
  binary_.clear();
  ScopedServiceHandle old(::OpenServiceW(manager_.get(), kServiceNameWide, SERVICE_ALL_ACCESS));
  if (!old) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
    // Deleted already, still held by someone: wait for it to go like any other.
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) return WaitUntilGone(manager_.get());
    return error;
  }
  SERVICE_STATUS status{};
  if (::ControlService(old.get(), SERVICE_CONTROL_STOP, &status) ||
      ::GetLastError() == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
    // Running or still starting: let it end before the entry goes.
    static_cast<void>(WaitUntil(
        [&] {
          if (!::QueryServiceStatus(old.get(), &status)) return true;
          if (status.dwCurrentState == SERVICE_START_PENDING) {
            ::ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
          }
          return status.dwCurrentState == SERVICE_STOPPED;
        },
        kStopSettle));
  }
  if (!::DeleteService(old.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return ::GetLastError();
  }
  old.reset();
  return WaitUntilGone(manager_.get());
}

DWORD ServiceEntry::Install(const std::wstring& exe) {
  const std::wstring image = QuotedPath(exe);
  service_.reset(::CreateServiceW(manager_.get(), kServiceNameWide, kServiceNameWide,
                                  SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(),
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service_) return ::GetLastError();
  binary_ = exe;
  return 0;
}

DWORD ServiceEntry::Reconfigure(const std::wstring& exe) {
  const std::wstring image = QuotedPath(exe);
  if (!::ChangeServiceConfigW(service_.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              SERVICE_NO_CHANGE, image.c_str(), nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr)) {
    return ::GetLastError();
  }
  binary_ = exe;
  return 0;
}

DWORD ServiceEntry::Start() {
  return ::StartServiceW(service_.get(), 0, nullptr) ? 0 : ::GetLastError();
}

DWORD ServiceEntry::Stop(StatusSample* sample) { return Control(SERVICE_CONTROL_STOP, sample); }

DWORD ServiceEntry::Query(StatusSample* sample) const {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
    return ::GetLastError();
  }
  Fill(status, sample);
  return 0;
}

DWORD ServiceEntry::Control(DWORD code, StatusSample* sample) {
  SERVICE_STATUS status{};
  if (!::ControlService(service_.get(), code, &status)) return ::GetLastError();
  if (sample != nullptr) Fill(status, sample);
  return 0;
}

bool ServiceEntry::WaitForState(DWORD state, DWORD timeout_ms, StatusSample* last) const {
  StatusSample own;
  StatusSample* sample = last != nullptr ? last : &own;
  return WaitUntil([&] { return Query(sample) == 0 && sample->state == state; },
                   std::chrono::milliseconds(timeout_ms));
}

}  // namespace brumo::test_support
