// Holds the name \\.\pipe\BrumoVPN from a process of its own, for the pipe server tests:
// creates one instance, writes one byte to standard output once it has it, and keeps it
// until standard input reaches its end. Exit code 1 when the instance cannot be created.
#include <windows.h>

#include "common/scoped_resource.h"
#include "control/control_pipe_server.h"

int main() {
  const brumo::ScopedFileHandle instance(::CreateNamedPipeW(
      brumo::kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
  if (!instance) return 1;
  DWORD count = 0;
  char byte = 'R';
  if (!::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), &byte, 1, &count, nullptr)) return 1;
  while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &count, nullptr) && count > 0) {
  }
  return 0;
}
