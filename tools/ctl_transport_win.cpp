// brumoctl's platform calls on Windows: the client end of the control pipe (kernel32) and
// the service's process id from the SCM (advapi32).
#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <string>

#include "common/overlapped_win.h"
#include "common/scoped_resource_win.h"
#include "common/utf8_win.h"
#include "control/control_names.h"
#include "tools/brumoctl.h"
#include "tools/ctl_transport.h"

namespace brumo {
namespace ctl {

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPipeBusy == ERROR_PIPE_BUSY);
static_assert(kErrorServiceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(kErrorMoreData == ERROR_MORE_DATA);
static_assert(kErrorTimeout == ERROR_TIMEOUT);

namespace {

using Clock = std::chrono::steady_clock;

ScopedFileHandle& Pipe() {
  static ScopedFileHandle pipe;
  return pipe;
}

// Signals the end of each overlapped call on the pipe.
ScopedHandle& IoEvent() {
  static ScopedHandle event;
  return event;
}

// One overlapped read or write of up to `size` bytes, waited for until `deadline`: 0 with
// `*moved` set, the call's error, kErrorTimeout (the call is then cancelled), or the error
// of a wait that failed (the call is then cancelled too).
PipeIo TransferBy(bool write, void* data, DWORD size, Clock::time_point deadline, DWORD* moved) {
  const char* const call = write ? "WriteFile" : "ReadFile";
  if (!IoEvent()) {
    IoEvent().reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!IoEvent()) return {GetLastError(), "CreateEventW"};
  }
  OVERLAPPED overlapped{};
  ResetEvent(IoEvent().get());
  overlapped.hEvent = IoEvent().get();
  const BOOL done = write ? WriteFile(Pipe().get(), data, size, nullptr, &overlapped)
                          : ReadFile(Pipe().get(), data, size, nullptr, &overlapped);
  if (!done && GetLastError() != ERROR_IO_PENDING) return {GetLastError(), call};
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  const DWORD wait = WaitForSingleObject(IoEvent().get(), left > 0 ? static_cast<DWORD>(left) : 0);
  if (wait != WAIT_OBJECT_0) {
    const DWORD wait_error = wait == WAIT_FAILED ? GetLastError() : 0;
    CancelIoEx(Pipe().get(), &overlapped);
    // The record and the buffer stay in use until the call has ended. A transfer that
    // completed just before the cancel still ends this exchange as late.
    AwaitEnd(overlapped);
    if (wait == WAIT_FAILED) return {wait_error, "WaitForSingleObject"};
    return {kErrorTimeout, call};
  }
  if (!GetOverlappedResult(Pipe().get(), &overlapped, moved, FALSE)) return {GetLastError(), call};
  return {0, call};
}

}  // namespace

std::uint32_t OpenControlPipe() {
  // Identification only: whoever serves the pipe (it may not be the service, see the
  // server-process check) can learn who we are but cannot act as us.
  // Overlapped, so that the write and the read can be bounded in time.
  ScopedFileHandle pipe(
      CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
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

PipeIo WriteControlPipe(std::string_view bytes) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  while (!bytes.empty()) {
    DWORD written = 0;
    PipeIo io = TransferBy(true, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()),
                           deadline, &written);
    if (io.error != 0) return io;
    bytes.remove_prefix(written);
  }
  return {};
}

PipeIo ReadControlPipe(std::string* reply) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  char buffer[4096];
  for (;;) {
    // Never more than one byte past the bound.
    const std::size_t room = kMaxReplyBytes + 1 - reply->size();
    DWORD read = 0;
    PipeIo io =
        TransferBy(false, buffer, static_cast<DWORD>(room < sizeof(buffer) ? room : sizeof(buffer)),
                   deadline, &read);
    if (io.failed_call == "ReadFile" &&
        (io.error == ERROR_BROKEN_PIPE || io.error == ERROR_PIPE_NOT_CONNECTED)) {
      // The server marks the end of its reply by disconnecting.
      return {};
    }
    if (io.error != 0) return io;
    if (read == 0) return {};
    reply->append(buffer, read);
    if (reply->size() > kMaxReplyBytes) return {kErrorMoreData, "ReadFile"};
  }
}

void CloseControlPipe() {
  Pipe().reset();
  IoEvent().reset();
}

ServiceProcessQuery QueryServiceProcess() {
  ServiceProcessQuery query;
  const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    query.error = GetLastError();
    query.failed_call = "OpenSCManagerW";
    return query;
  }
  const ScopedServiceHandle service(
      OpenServiceW(manager.get(), kServiceNameWide, SERVICE_QUERY_STATUS));
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

std::string SystemErrorText(std::uint32_t error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  const ScopedLocalMemory owner(text);
  if (length == 0 || text == nullptr) return {};
  std::string utf8 = Narrow(std::wstring_view(text, length));
  // One line: the message's own line ends (and any trailing space) go.
  for (char& c : utf8) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!utf8.empty() && utf8.back() == ' ') utf8.pop_back();
  return utf8;
}

}  // namespace ctl
}  // namespace brumo
