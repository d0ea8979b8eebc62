#include "tests/pipe/pipe_test_client.h"

#include <thread>

#include "control/control_pipe_server.h"

namespace brumo::pipe_test {

ScopedFileHandle OpenOnce(DWORD* error) {
  ScopedFileHandle pipe(::CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  *error = pipe ? ERROR_SUCCESS : ::GetLastError();
  return pipe;
}

ScopedFileHandle OpenWithin(std::chrono::milliseconds budget, DWORD* error) {
  const auto until = std::chrono::steady_clock::now() + budget;
  DWORD last = ERROR_SUCCESS;
  for (;;) {
    ScopedFileHandle pipe = OpenOnce(&last);
    if (error != nullptr) *error = last;
    if (pipe) return pipe;
    if (last != ERROR_PIPE_BUSY && last != ERROR_FILE_NOT_FOUND) return pipe;
    if (std::chrono::steady_clock::now() >= until) return pipe;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

Exchange RoundTrip(std::string_view request, std::chrono::milliseconds budget) {
  Exchange exchange;
  ScopedFileHandle pipe = OpenWithin(budget, &exchange.open_error);
  if (!pipe) return exchange;
  exchange.opened = true;
  exchange.written = WriteBytes(pipe.get(), request);
  exchange.reply = ReadUntilEnd(pipe.get());
  return exchange;
}

bool IsDisconnect(DWORD code) {
  return code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace brumo::pipe_test
