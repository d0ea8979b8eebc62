// A client of a named pipe served one request per connection, for the Windows tests, the
// reliability program and the service benchmark: open, write, read until the server
// disconnects. Any thread; each call uses handles of its own.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <string_view>

#include "common/scoped_resource_win.h"
#include "control/control_names.h"

namespace brumo::test_support {

// One attempt to open `name`; on failure the handle is empty and `error` holds the code
// (ERROR_PIPE_BUSY while another client is served, ERROR_FILE_NOT_FOUND while no instance
// exists).
ScopedFileHandle OpenOnce(DWORD* error, const wchar_t* name = kPipeName);

// Opens `name`, waiting out a busy pipe (WaitNamedPipeW) and one that is not there yet
// (a millisecond's pause) until `budget` has passed. Empty handle when it never opened;
// `error` (optional) holds the last code, `retries` (optional) the failed opens.
ScopedFileHandle OpenWithin(std::chrono::milliseconds budget, DWORD* error = nullptr,
                            const wchar_t* name = kPipeName, int* retries = nullptr);

// Writes all of `bytes` (one WriteFile call); false with `error` set on failure.
bool WriteBytes(HANDLE pipe, std::string_view bytes, DWORD* error = nullptr);

// What a client read before its read failed.
struct ReadResult {
  std::string bytes;    // everything read, in order
  DWORD end_error = 0;  // the code of the read that failed (109 or 233: server disconnected)
};
// Reads in pieces of `chunk` bytes until a read fails.
ReadResult ReadUntilEnd(HANDLE pipe, DWORD chunk = 4096);

// True when `code` is what a client's read returns once the server has disconnected.
bool IsDisconnect(DWORD code);

// The whole round trip of one client: open (within `budget`), write `request`, read until
// the server disconnects.
struct Exchange {
  bool opened = false;
  DWORD open_error = 0;
  int open_retries = 0;
  bool written = false;
  ReadResult reply;

  // Opened, written and read to the server's disconnect.
  bool Complete() const { return opened && written && IsDisconnect(reply.end_error); }
};
Exchange RoundTrip(std::string_view request,
                   std::chrono::milliseconds budget = std::chrono::seconds(10),
                   const wchar_t* name = kPipeName);

}  // namespace brumo::test_support
