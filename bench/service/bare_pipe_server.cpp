// The baseline of the pipe benchmark: a bare echo server with the service's connection
// pattern and nothing else. Per client: a fresh instance (duplex byte stream, one instance,
// 64 KiB buffers, remote clients refused), the wait for the client, one read of at most
// 65535 bytes, the same bytes written back in one write, a flush, a disconnect and a close.
// It has no security descriptor, no request parsing, no watchdog and no thread of its
// own.
//
// Runs until it is ended (the benchmark terminates it).
#include <windows.h>

#include <vector>

#include "bench/service/bench_support.h"
#include "common/scoped_resource.h"

namespace {

constexpr DWORD kBufferSize = 65536;
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
  ::DisconnectNamedPipe(instance);
}

}  // namespace

int main() {
  std::vector<char> buffer(kBufferSize);
  for (;;) {
    brumo::ScopedFileHandle instance(::CreateNamedPipeW(brumo::bench::kBarePipe, PIPE_ACCESS_DUPLEX,
                                                        kPipeMode, 1, kBufferSize, kBufferSize, 0,
                                                        nullptr));
    if (!instance) {
      ::Sleep(1000);
      continue;
    }
    if (!::ConnectNamedPipe(instance.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
      continue;
    }
    Serve(instance.get(), buffer);
  }
}
