#include "tests/wine/e2e_support.h"

#include <winsock2.h>
// After winsock2.h, whose address types the interface lookup declarations use.
#include <iphlpapi.h>
#include <netioapi.h>
#include <winsvc.h>

#include <fmt/format.h>

#include <chrono>
#include <utility>

namespace brumo::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Between two readings of a state being waited for.
constexpr DWORD kPollMs = 5;
// The SCM lets go of a deleted entry once nobody holds it; until then a new entry of the
// same name is refused.
constexpr auto kDeleteSettle = std::chrono::seconds(10);
// Answers of the wrapper and Wine's view of a changed device.
constexpr auto kDeviceRequestTimeout = std::chrono::seconds(20);
constexpr auto kDeviceVisibleTimeout = std::chrono::seconds(10);

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string ReadWholeFile(const std::wstring& path) {
  std::string text;
  const ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  return text;
}

// Complete lines only: a line still being written has no LF yet.
std::vector<std::string> CompleteLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

FwpCall ParseFwpLine(const std::string& line) {
  FwpCall call;
  std::size_t start = 0;
  bool first = true;
  while (start <= line.size()) {
    const std::size_t tab = line.find('\t', start);
    const std::string field =
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
    start = tab == std::string::npos ? line.size() + 1 : tab + 1;
    if (first) {
      call.function = field;
      first = false;
      continue;
    }
    const std::size_t equals = field.find('=');
    call.fields[field.substr(0, equals)] =
        equals == std::string::npos ? std::string() : field.substr(equals + 1);
  }
  return call;
}

std::string EnvironmentText(const wchar_t* name) {
  wchar_t buffer[1024];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
  if (length == 0 || length >= 1024) return {};
  return Narrow(std::wstring(buffer, length));
}

// Writes `text` to `path` whole: to a temporary name first, then renamed, so that the
// reader never sees half a file.
bool WriteFileAtomically(const std::wstring& path, const std::string& text) {
  const std::wstring temporary = path + L".tmp";
  {
    const ScopedFileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      return false;
    }
  }
  return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace

bool StatusSample::SameReport(const StatusSample& other) const {
  return state == other.state && check_point == other.check_point && wait_hint == other.wait_hint &&
         controls_accepted == other.controls_accepted && win32_exit_code == other.win32_exit_code &&
         specific_exit_code == other.specific_exit_code;
}

std::string Describe(const StatusSample& sample) {
  const char* name = "?";
  switch (sample.state) {
    case SERVICE_STOPPED:
      name = "stopped";
      break;
    case SERVICE_START_PENDING:
      name = "start-pending";
      break;
    case SERVICE_STOP_PENDING:
      name = "stop-pending";
      break;
    case SERVICE_RUNNING:
      name = "running";
      break;
    default:
      break;
  }
  return fmt::format("{}(checkpoint {}, wait hint {}, controls {}, exit {}/{})", name,
                     sample.check_point, sample.wait_hint, sample.controls_accepted,
                     sample.win32_exit_code, sample.specific_exit_code);
}

DWORD ServiceEntry::Connect() {
  manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  return manager_ ? 0 : GetLastError();
}

DWORD ServiceEntry::RemoveExisting() {
  service_.reset();
  binary_.clear();
  ScopedServiceHandle old(OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
  if (!old) {
    const DWORD error = GetLastError();
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : error;
  }
  SERVICE_STATUS status{};
  if (ControlService(old.get(), SERVICE_CONTROL_STOP, &status) ||
      GetLastError() == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
    // Running or still starting: let it end before the entry goes.
    const Clock::time_point until = Clock::now() + std::chrono::seconds(15);
    while (QueryServiceStatus(old.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
           Clock::now() < until) {
      Sleep(kPollMs * 4);
      if (status.dwCurrentState == SERVICE_START_PENDING) {
        ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
      }
    }
  }
  if (!DeleteService(old.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return GetLastError();
  }
  old.reset();
  const Clock::time_point until = Clock::now() + kDeleteSettle;
  for (;;) {
    {
      const ScopedServiceHandle probe(
          OpenServiceW(manager_.get(), kServiceName, SERVICE_QUERY_STATUS));
      const DWORD error = probe ? 0 : GetLastError();
      if (error == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
      if (error != 0 && error != ERROR_SERVICE_MARKED_FOR_DELETE) return error;
    }
    if (Clock::now() >= until) return ERROR_SERVICE_MARKED_FOR_DELETE;
    Sleep(kPollMs * 4);
  }
}

DWORD ServiceEntry::Install(const std::wstring& exe) {
  const std::wstring image = QuotedPath(exe);
  service_.reset(CreateServiceW(manager_.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr));
  if (!service_) return GetLastError();
  binary_ = exe;
  return 0;
}

DWORD ServiceEntry::Reconfigure(const std::wstring& exe) {
  const std::wstring image = QuotedPath(exe);
  if (!ChangeServiceConfigW(service_.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    return GetLastError();
  }
  binary_ = exe;
  return 0;
}

DWORD ServiceEntry::Start() {
  return StartServiceW(service_.get(), 0, nullptr) ? 0 : GetLastError();
}

DWORD ServiceEntry::Query(StatusSample* sample) const {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
    return GetLastError();
  }
  sample->state = status.dwCurrentState;
  sample->check_point = status.dwCheckPoint;
  sample->wait_hint = status.dwWaitHint;
  sample->controls_accepted = status.dwControlsAccepted;
  sample->win32_exit_code = status.dwWin32ExitCode;
  sample->specific_exit_code = status.dwServiceSpecificExitCode;
  sample->process_id = status.dwProcessId;
  return 0;
}

DWORD ServiceEntry::Control(DWORD code, StatusSample* sample) {
  SERVICE_STATUS status{};
  if (!ControlService(service_.get(), code, &status)) return GetLastError();
  sample->state = status.dwCurrentState;
  sample->check_point = status.dwCheckPoint;
  sample->wait_hint = status.dwWaitHint;
  sample->controls_accepted = status.dwControlsAccepted;
  sample->win32_exit_code = status.dwWin32ExitCode;
  sample->specific_exit_code = status.dwServiceSpecificExitCode;
  sample->process_id = 0;
  return 0;
}

bool ServiceEntry::WaitForState(DWORD state, DWORD timeout_ms, StatusSample* last) const {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (Query(last) == 0 && last->state == state) return true;
    if (Clock::now() >= until) return false;
    Sleep(kPollMs);
  }
}

std::wstring QuotedPath(const std::wstring& exe) { return L"\"" + exe + L"\""; }

PipeExchange SendRequest(std::string_view request, DWORD connect_ms) {
  PipeExchange exchange;
  const ScopedFileHandle pipe = ConnectControlPipe(connect_ms, &exchange.error);
  if (!pipe) return exchange;
  DWORD written = 0;
  if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written,
                 nullptr)) {
    exchange.error = GetLastError();
    return exchange;
  }
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(pipe.get(), buffer, sizeof(buffer), &read, nullptr)) {
      const DWORD error = GetLastError();
      // The server ends its reply by disconnecting.
      if (error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED) exchange.error = error;
      return exchange;
    }
    if (read == 0) return exchange;
    exchange.reply.append(buffer, read);
  }
}

ScopedFileHandle ConnectControlPipe(DWORD connect_ms, DWORD* error) {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(connect_ms);
  for (;;) {
    ScopedFileHandle pipe(CreateFileW(kControlPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (pipe) {
      *error = 0;
      return pipe;
    }
    *error = GetLastError();
    if (Clock::now() >= until) return ScopedFileHandle();
    if (*error == ERROR_PIPE_BUSY) {
      // Another client is being served (a "start" may take seconds).
      WaitNamedPipeW(kControlPipe, 1000);
    } else if (*error == ERROR_FILE_NOT_FOUND) {
      // Between two instances, or the service is still starting.
      Sleep(kPollMs);
    } else {
      return ScopedFileHandle();
    }
  }
}

bool ServerDisconnected(HANDLE pipe) {
  DWORD available = 0;
  if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
  const DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
         error == ERROR_NO_DATA || error == ERROR_INVALID_HANDLE;
}

std::string FwpCall::Field(const std::string& key) const {
  const auto found = fields.find(key);
  return found == fields.end() ? "<missing>" : found->second;
}

StandinLogs::StandinLogs(std::wstring folder) : folder_(std::move(folder)) {}

bool StandinLogs::EnableTun2proxyLog() const {
  const std::wstring path = folder_ + L"tun2proxy.log";
  const ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(file);
}

void StandinLogs::Mark() {
  tun2proxy_mark_ = CompleteLines(ReadWholeFile(folder_ + L"tun2proxy.log")).size();
  fwp_mark_ = CompleteLines(ReadWholeFile(folder_ + L"fwpuclnt.log")).size();
}

std::vector<std::string> StandinLogs::Tun2proxyLines() const {
  std::vector<std::string> lines = CompleteLines(ReadWholeFile(folder_ + L"tun2proxy.log"));
  if (lines.size() <= tun2proxy_mark_) return {};
  return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(tun2proxy_mark_),
                                  lines.end());
}

std::vector<FwpCall> StandinLogs::FwpCalls() const {
  const std::vector<std::string> lines = CompleteLines(ReadWholeFile(folder_ + L"fwpuclnt.log"));
  std::vector<FwpCall> calls;
  for (std::size_t i = fwp_mark_; i < lines.size(); ++i) calls.push_back(ParseFwpLine(lines[i]));
  return calls;
}

TunDevice::TunDevice() {
  const std::string control = EnvironmentText(L"BRUMO_E2E_DEVICE_CONTROL");
  folder_ = Wide(EnvironmentText(L"BRUMO_E2E_REQUESTS"));
  if (control == "yes" && !folder_.empty()) return;
  why_not_ = control.empty() || control == "yes"
                 ? "not started by run_e2e.sh, which creates and deletes the device"
                 : control;
}

std::uint32_t TunDevice::WineIndex() {
  NET_LUID luid{};
  if (ConvertInterfaceAliasToLuid(kTunDevice, &luid) != NO_ERROR) return 0;
  NET_IFINDEX index = 0;
  if (ConvertInterfaceLuidToIndex(&luid, &index) != NO_ERROR) return 0;
  return index;
}

std::string TunDevice::Create() {
  std::string failure = Request("create");
  if (!failure.empty()) return failure;
  const Clock::time_point until = Clock::now() + kDeviceVisibleTimeout;
  while (WineIndex() == 0) {
    if (Clock::now() >= until) return "created, but Wine does not resolve brumotun";
    Sleep(kPollMs * 4);
  }
  return {};
}

std::string TunDevice::Delete() { return Request("delete"); }

// The wrapper serves request-1, request-2, ... in turn and answers each with reply-<n>,
// holding "ok" or the reason of the failure.
std::string TunDevice::Request(const char* verb) {
  if (!controllable()) return why_not_;
  const std::wstring number = std::to_wstring(next_request_++);
  const std::wstring request = folder_ + L"\\request-" + number;
  const std::wstring reply = folder_ + L"\\reply-" + number;
  if (!WriteFileAtomically(request, std::string(verb) + " brumotun\n")) {
    return fmt::format("cannot write the request ({})", GetLastError());
  }
  const Clock::time_point until = Clock::now() + kDeviceRequestTimeout;
  while (GetFileAttributesW(reply.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (Clock::now() >= until) return fmt::format("run_e2e.sh did not answer \"{}\"", verb);
    Sleep(kPollMs * 2);
  }
  const std::string answer = WithoutLineEnd(ReadWholeFile(reply));
  return answer == "ok" ? std::string() : fmt::format("{} brumotun: {}", verb, answer);
}

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace brumo::e2e
