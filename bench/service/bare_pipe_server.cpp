// The baseline of the pipe benchmark: a bare echo server that serves the way the service
// does and does nothing else. One instance (duplex byte stream, the first of its name, one
// instance, 64 KiB buffers, remote clients refused), created once and kept: per client the
// wait for it, one read of at most 65535 bytes, the same bytes written back in one write,
// a flush and a disconnect, after which the same instance waits for the next client. It
// has no security descriptor, no request parsing, no overlapped I/O, no stop event, no
// flush timer and no thread of its own.
//
// Runs until it is ended (the benchmark terminates it).
#include <windows.h>

#include <vector>

#include "bench/service/bench_support.h"
#include "common/scoped_resource_win.h"

namespace {

constexpr DWORD kBufferSize = 65536;
constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;
constexpr DWORD kPipeMode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

void Serve(HANDLE instance, std::vector<char>& buffer) {
  DWORD received = 0;
  if (::ReadFile(instance, buffer.data(), kBufferSize - 1, &received, nullptr)) {
    DWORD written = 0;
    if (::WriteFile(instance, buffer.data(), received, &written, nullptr)) {
      ::FlushFileBuffers(instance);
    }
  }
}

}  // namespace

int main() {
  std::vector<char> buffer(kBufferSize);
  brumo::ScopedFileHandle instance;
  while (!instance) {
    instance.reset(::CreateNamedPipeW(brumo::bench::kBarePipe, kOpenMode, kPipeMode, 1, kBufferSize,
                                      kBufferSize, 0, nullptr));
    if (!instance) ::Sleep(1000);
  }
  for (;;) {
    if (::ConnectNamedPipe(instance.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
      Serve(instance.get(), buffer);
    }
    ::DisconnectNamedPipe(instance.get());
  }
}
