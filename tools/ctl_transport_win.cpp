// brumoctl's platform calls on Windows: the client end of the control pipe (kernel32) and
// the service's process id from the SCM (advapi32).
#include <windows.h>
#include <winsvc.h>

#include <string>

#include "common/scoped_resource.h"
#include "control/control_pipe_server.h"
#include "tools/brumoctl.h"
#include "tools/ctl_transport.h"

namespace brumo {
namespace ctl {

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPipeBusy == ERROR_PIPE_BUSY);
static_assert(kErrorServiceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST);

namespace {

ScopedFileHandle& Pipe() {
  static ScopedFileHandle pipe;
  return pipe;
}

}  // namespace

std::uint32_t OpenControlPipe() {
  // Identification only: whoever serves the pipe (it may not be the service, see the
  // server-process check) can learn who we are but cannot act as us.
  ScopedFileHandle pipe(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                    nullptr));
  if (!pipe) return GetLastError();
  Pipe() = std::move(pipe);
  return 0;
}

bool WaitForControlPipe(std::uint32_t timeout_ms) {
  return WaitNamedPipeW(kPipeName, timeout_ms) != FALSE;
}

void PauseMs(std::uint32_t ms) { Sleep(ms); }

std::uint32_t QueryPipeServerProcess(std::uint32_t* process_id) {
  ULONG id = 0;
  if (!GetNamedPipeServerProcessId(Pipe().get(), &id)) return GetLastError();
  *process_id = id;
  return 0;
}

std::uint32_t WriteControlPipe(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(Pipe().get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr)) {
      return GetLastError();
    }
    bytes.remove_prefix(written);
  }
  return 0;
}

std::uint32_t ReadControlPipe(std::string* reply) {
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(Pipe().get(), buffer, sizeof(buffer), &read, nullptr)) {
      const DWORD error = GetLastError();
      // The server marks the end of its reply by disconnecting.
      if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) return 0;
      return error;
    }
    if (read == 0) return 0;
    reply->append(buffer, read);
  }
}

void CloseControlPipe() { Pipe().reset(); }

ServiceProcessQuery QueryServiceProcess() {
  ServiceProcessQuery query;
  const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    query.error = GetLastError();
    query.failed_call = "OpenSCManagerW";
    return query;
  }
  const ScopedServiceHandle service(OpenServiceW(manager.get(), L"BrumoVPN", SERVICE_QUERY_STATUS));
  if (!service) {
    query.error = GetLastError();
    query.failed_call = "OpenServiceW";
    return query;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
    query.error = GetLastError();
    query.failed_call = "QueryServiceStatusEx";
    return query;
  }
  query.process_id = status.dwProcessId;
  return query;
}

}  // namespace ctl
}  // namespace brumo
