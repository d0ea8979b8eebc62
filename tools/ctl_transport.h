// brumoctl's platform: the client end of the control pipe and the SCM's view of the
// service. ctl_transport_win.cpp implements it on Windows; tests link a stand-in.
//
// A process holds at most one pipe connection: brumoctl sends one request and exits. Every
// function returns 0 or the platform's error code of the call that failed. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brumo {
namespace ctl {

// The bounds of one reply: it must be complete (the server disconnects) within
// kReplyTimeoutMs of the read's start, and hold at most kMaxReplyBytes; the read takes at
// most one byte more, to tell a reply that fits from one that does not.
inline constexpr std::uint32_t kReplyTimeoutMs = 10000;
inline constexpr std::size_t kMaxReplyBytes = 65536;
// What the read returns when a bound is exceeded (winerror.h).
inline constexpr std::uint32_t kErrorMoreData = 234;  // ERROR_MORE_DATA: too long
inline constexpr std::uint32_t kErrorTimeout = 1460;  // ERROR_TIMEOUT: too late

// Opens \\.\pipe\BrumoVPN for reading and writing (CreateFileW).
std::uint32_t OpenControlPipe();
// WaitNamedPipeW: true when an instance became free within `timeout_ms`.
bool WaitForControlPipe(std::uint32_t timeout_ms);
void PauseMs(std::uint32_t ms);
// GetNamedPipeServerProcessId on the open pipe.
std::uint32_t QueryPipeServerProcess(std::uint32_t* process_id);

// The outcome of a write or a read: 0, or the error of `failed_call`, which is the write
// or read itself, or the wait for it ("WaitForSingleObject") when that wait failed.
struct PipeIo {
  std::uint32_t error = 0;
  std::string failed_call;
};
// Writes all of `bytes` to the open pipe ("WriteFile"); kErrorTimeout when the server has
// not taken them within kReplyTimeoutMs.
PipeIo WriteControlPipe(std::string_view bytes);
// Reads into `reply` until the server disconnects ("ReadFile"); the disconnect itself is
// not an error. kErrorMoreData once more than kMaxReplyBytes have come, kErrorTimeout when
// the server has neither finished nor disconnected within kReplyTimeoutMs; `reply` then
// holds what came.
PipeIo ReadControlPipe(std::string* reply);
// Closes the pipe if open.
void CloseControlPipe();

struct ServiceProcessQuery {
  std::uint32_t error = 0;       // 0, or the error of `failed_call`
  std::string failed_call;       // "OpenSCManagerW", "OpenServiceW" or "QueryServiceStatusEx"
  std::uint32_t process_id = 0;  // the "BrumoVPN" service's process; 0 when not running
};
ServiceProcessQuery QueryServiceProcess();

// The platform's words for an error code (FormatMessageW), one line without its line end;
// empty when it has none.
std::string SystemErrorText(std::uint32_t error);

}  // namespace ctl
}  // namespace brumo
