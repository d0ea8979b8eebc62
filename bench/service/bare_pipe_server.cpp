// The baseline of the pipe benchmark: a bare echo server with the service's connection
// pattern and nothing else. Per client: a fresh instance (duplex byte stream, one instance,
// 64 KiB buffers, remote clients refused), the wait for the client, one read of at most
// 65535 bytes, the same bytes written back in one write, a flush, a disconnect and a close.
// It has no security descriptor, no request parsing and no thread of its own.
//
// With --deadlines it serves kDeadlinePipe instead and adds the one per-call cost the
// service's pipe server has on top of that pattern: a timer-queue timer, checked every
// 50 ms, armed around the read and again around the write and flush, and deleted with a
// wait for its callback. That run shows how much of the service's difference to the bare
// server those timers are.
//
// Runs until it is ended (the benchmark terminates it).
#include <windows.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "bench/service/bench_support.h"
#include "common/scoped_resource.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kBufferSize = 65536;
constexpr DWORD kPipeMode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kDeadlineCheckMs = 50;
constexpr auto kClientTimeout = std::chrono::seconds(5);

// The timer the service arms around each call that waits for a client.
class Deadline {
 public:
  Deadline(bool armed, HANDLE thread) : thread_(thread), until_(Clock::now() + kClientTimeout) {
    if (armed) {
      ::CreateTimerQueueTimer(&timer_, nullptr, &Deadline::Check, this, kDeadlineCheckMs,
                              kDeadlineCheckMs, WT_EXECUTEDEFAULT);
    }
  }
  ~Deadline() {
    if (timer_ != nullptr) ::DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  static void CALLBACK Check(void* context, BOOLEAN /*fired*/) {
    const auto* self = static_cast<const Deadline*>(context);
    if (Clock::now() >= self->until_) ::CancelSynchronousIo(self->thread_);
  }

  HANDLE thread_;
  Clock::time_point until_;
  HANDLE timer_ = nullptr;
};

void Serve(HANDLE instance, bool deadlines, HANDLE self) {
  std::vector<char> buffer(kBufferSize);
  DWORD received = 0;
  bool read = false;
  {
    Deadline deadline(deadlines, self);
    read = ::ReadFile(instance, buffer.data(), kBufferSize - 1, &received, nullptr);
  }
  if (read) {
    Deadline deadline(deadlines, self);
    DWORD written = 0;
    if (::WriteFile(instance, buffer.data(), received, &written, nullptr)) {
      ::FlushFileBuffers(instance);
    }
  }
  ::DisconnectNamedPipe(instance);
}

}  // namespace

int main(int argc, char** argv) {
  const bool deadlines = argc > 1 && std::strcmp(argv[1], "--deadlines") == 0;
  const wchar_t* const name = deadlines ? brumo::bench::kDeadlinePipe : brumo::bench::kBarePipe;
  brumo::ScopedHandle self;
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), self.put(),
                    0, FALSE, DUPLICATE_SAME_ACCESS);
  for (;;) {
    brumo::ScopedFileHandle instance(::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, kPipeMode, 1,
                                                        kBufferSize, kBufferSize, 0, nullptr));
    if (!instance) {
      ::Sleep(1000);
      continue;
    }
    if (!::ConnectNamedPipe(instance.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
      continue;
    }
    Serve(instance.get(), deadlines, self.get());
  }
}
