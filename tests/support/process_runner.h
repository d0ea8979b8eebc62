// Runs a Windows program to its end with standard output and standard error captured, for
// tests that check what a whole executable prints and returns.
#pragma once

#include <windows.h>

#include <string>

namespace brumo::test_support {

struct ProcessResult {
  DWORD start_error = 0;  // CreateProcessW's error; 0 when the program ran
  bool timed_out = false;
  DWORD exit_code = 0;
  std::string out;
  std::string err;
};

// Starts `command_line` (the program `application` when not empty, else the command line's
// first word) with standard input empty, waits up to `timeout_ms` for it to end
// (terminating it after that) and collects both outputs.
ProcessResult RunProcess(const std::wstring& command_line, const std::wstring& application = L"",
                         DWORD timeout_ms = 60000);

// The folder of the running test program, with a trailing backslash.
std::wstring OwnDirectory();

}  // namespace brumo::test_support
