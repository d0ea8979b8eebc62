// Another process that wants \\.\pipe\BrumoVPN, for the pipe server tests. Two modes:
//
//   pipe_name_holder hold <instances> <milliseconds>
//     Creates one instance of the name (byte mode, default security, at most <instances>
//     instances of the name) and keeps it for <milliseconds>, without ever listening. Exit
//     code 1 when the instance cannot be created.
//
//   pipe_name_holder squat <instances> <milliseconds>
//     For <milliseconds>, creates instances of the name in a loop, with the same shape
//     and <instances>, and listens on each one it gets for a moment before closing it
//     again. Then prints one line "attempts=A created=C alone=L captured=P": creations
//     tried, creations that succeeded, created instances that were the only one of the
//     name (GetNamedPipeHandleState), and clients that connected to one of them.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/scoped_resource_win.h"
#include "control/control_names.h"

namespace {

int Hold(DWORD instances, DWORD milliseconds) {
  const brumo::ScopedFileHandle instance(::CreateNamedPipeW(
      brumo::kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, instances, 4096, 4096, 0, nullptr));
  if (!instance) return 1;
  ::Sleep(milliseconds);
  return 0;
}

int Squat(DWORD instances, DWORD milliseconds) {
  const brumo::ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return 1;
  long attempts = 0, created = 0, alone = 0, captured = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < until) {
    ++attempts;
    const brumo::ScopedFileHandle pipe(
        ::CreateNamedPipeW(brumo::kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                           PIPE_TYPE_BYTE, instances, 4096, 4096, 0, nullptr));
    if (!pipe) {
      ::Sleep(0);
      continue;
    }
    ++created;
    DWORD count = 0;
    if (::GetNamedPipeHandleStateW(pipe.get(), nullptr, &count, nullptr, nullptr, nullptr, 0) &&
        count == 1) {
      ++alone;
    }
    OVERLAPPED overlapped{};
    ::ResetEvent(event.get());
    overlapped.hEvent = event.get();
    bool connected =
        ::ConnectNamedPipe(pipe.get(), &overlapped) || ::GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected && ::GetLastError() == ERROR_IO_PENDING) {
      // Listens for a moment; a connect still pending then is cancelled and waited out.
      if (::WaitForSingleObject(event.get(), 2) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe.get(), &overlapped);
      }
      DWORD moved = 0;
      connected = ::GetOverlappedResult(pipe.get(), &overlapped, &moved, TRUE) != FALSE;
    }
    if (connected) ++captured;
  }
  std::printf("attempts=%ld created=%ld alone=%ld captured=%ld\n", attempts, created, alone,
              captured);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4) {
    const auto instances = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    const auto milliseconds = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    if (std::strcmp(argv[1], "hold") == 0) return Hold(instances, milliseconds);
    if (std::strcmp(argv[1], "squat") == 0) return Squat(instances, milliseconds);
  }
  std::fputs("usage: pipe_name_holder hold|squat <instances> <milliseconds>\n", stderr);
  return 2;
}
