#include "tests/support/pipe_client.h"

#include <algorithm>

namespace brumo::test_support {

using Clock = std::chrono::steady_clock;

ScopedFileHandle OpenOnce(DWORD* error, const wchar_t* name) {
  ScopedFileHandle pipe(
      ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  *error = pipe ? ERROR_SUCCESS : ::GetLastError();
  return pipe;
}

ScopedFileHandle OpenWithin(std::chrono::milliseconds budget, DWORD* error, const wchar_t* name,
                            int* retries) {
  const auto until = Clock::now() + budget;
  DWORD last = ERROR_SUCCESS;
  for (;;) {
    ScopedFileHandle pipe = OpenOnce(&last, name);
    if (error != nullptr) *error = last;
    if (pipe) return pipe;
    if (last != ERROR_PIPE_BUSY && last != ERROR_FILE_NOT_FOUND) return pipe;
    const auto now = Clock::now();
    if (now >= until) return pipe;
    if (retries != nullptr) ++*retries;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    // A wait that fails at once (the instance went away meanwhile) must not spin.
    if (last != ERROR_PIPE_BUSY ||
        !::WaitNamedPipeW(name, static_cast<DWORD>(std::clamp<long long>(left, 1, 1000)))) {
      ::Sleep(1);
    }
  }
}

bool WriteBytes(HANDLE pipe, std::string_view bytes, DWORD* error) {
  DWORD written = 0;
  const BOOL ok =
      ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  if (error != nullptr) *error = ok ? ERROR_SUCCESS : ::GetLastError();
  return ok && written == bytes.size();
}

ReadResult ReadUntilEnd(HANDLE pipe, DWORD chunk) {
  ReadResult result;
  std::string piece(chunk, '\0');
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(pipe, piece.data(), chunk, &got, nullptr)) {
      result.end_error = ::GetLastError();
      return result;
    }
    result.bytes.append(piece.data(), got);
  }
}

bool IsDisconnect(DWORD code) {
  return code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED;
}

Exchange RoundTrip(std::string_view request, std::chrono::milliseconds budget,
                   const wchar_t* name) {
  Exchange exchange;
  ScopedFileHandle pipe = OpenWithin(budget, &exchange.open_error, name, &exchange.open_retries);
  if (!pipe) return exchange;
  exchange.opened = true;
  exchange.written = WriteBytes(pipe.get(), request);
  exchange.reply = ReadUntilEnd(pipe.get());
  return exchange;
}

}  // namespace brumo::test_support
