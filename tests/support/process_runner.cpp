#include "tests/support/process_runner.h"

#include <thread>
#include <utility>

#include "common/scoped_resource_win.h"

namespace brumo::test_support {
namespace {

// Reads `pipe` until the writer's end is closed.
void Drain(HANDLE pipe, std::string* text) {
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text->append(buffer, read);
  }
}

// A pipe whose write end the child inherits.
bool MakeOutputPipe(ScopedHandle* read_end, ScopedHandle* write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, &inherit, 0)) return false;
  read_end->reset(r);
  write_end->reset(w);
  return SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0) != FALSE;
}

}  // namespace

ProcessResult RunProcess(const std::wstring& command_line, const std::wstring& application,
                         DWORD timeout_ms) {
  ProcessResult result;
  ScopedHandle out_read, out_write, err_read, err_write;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  ScopedFileHandle null_input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &inherit, OPEN_EXISTING, 0, nullptr));
  if (!MakeOutputPipe(&out_read, &out_write) || !MakeOutputPipe(&err_read, &err_write)) {
    result.start_error = GetLastError();
    return result;
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_input.get();
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  PROCESS_INFORMATION info{};
  std::wstring mutable_line = command_line;  // CreateProcessW may write to it
  if (!CreateProcessW(application.empty() ? nullptr : application.c_str(), mutable_line.data(),
                      nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    result.start_error = GetLastError();
    return result;
  }
  const ScopedHandle process(info.hProcess);
  const ScopedHandle thread(info.hThread);
  // Only the child holds the write ends now, so the reads end when it does.
  out_write.reset();
  err_write.reset();
  null_input.reset();

  std::thread out_reader(Drain, out_read.get(), &result.out);
  std::thread err_reader(Drain, err_read.get(), &result.err);
  if (WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
  }
  out_reader.join();
  err_reader.join();
  GetExitCodeProcess(process.get(), &result.exit_code);
  return result;
}

std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, length);
  return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

}  // namespace brumo::test_support
