// A client of the control pipe for the Windows tests and the reliability program: opens
// \\.\pipe\BrumoVPN, writes, and reads until the server disconnects.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <string_view>

#include "common/scoped_resource.h"

namespace brumo::pipe_test {

// One attempt to open the pipe; on failure the handle is empty and `error` holds the code
// (ERROR_PIPE_BUSY while another client is served, ERROR_FILE_NOT_FOUND while no instance
// exists).
ScopedFileHandle OpenOnce(DWORD* error);

// Opens the pipe, trying again on ERROR_PIPE_BUSY and ERROR_FILE_NOT_FOUND until `budget`
// has passed. Empty handle when it never opened; `error` (optional) holds the last code.
ScopedFileHandle OpenWithin(std::chrono::milliseconds budget, DWORD* error = nullptr);

// Writes all of `bytes` (one WriteFile call); false with `error` set on failure.
bool WriteBytes(HANDLE pipe, std::string_view bytes, DWORD* error = nullptr);

// What a client read before its read failed.
struct ReadResult {
  std::string bytes;    // everything read, in order
  DWORD end_error = 0;  // the code of the read that failed (109 or 233: server disconnected)
};
// Reads in pieces of `chunk` bytes until a read fails.
ReadResult ReadUntilEnd(HANDLE pipe, DWORD chunk = 4096);

// The whole round trip of one client: open (within `budget`), write `request`, read until
// the server disconnects. `opened` false when the pipe never opened.
struct Exchange {
  bool opened = false;
  DWORD open_error = 0;
  bool written = false;
  ReadResult reply;
};
Exchange RoundTrip(std::string_view request,
                   std::chrono::milliseconds budget = std::chrono::seconds(10));

// True when `code` is what a client's read returns once the server has disconnected.
bool IsDisconnect(DWORD code);

}  // namespace brumo::pipe_test
