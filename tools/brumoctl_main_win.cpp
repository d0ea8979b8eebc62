// Entry of brumoctl.exe: the arguments as UTF-8, the run, its output.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/scoped_resource_win.h"
#include "common/utf8_win.h"
#include "tools/brumoctl.h"

namespace {

// The arguments after the program name, from the UTF-16 command line, so a raw request
// reaches the pipe as UTF-8 whatever the console's code page.
std::vector<std::string> Utf8Arguments() {
  int count = 0;
  const brumo::ScopedLocalMemory memory(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> args;
  const auto* argv = static_cast<LPWSTR*>(memory.get());
  if (argv == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(brumo::Narrow(argv[i]));
  return args;
}

}  // namespace

int main() {
  const brumo::ctl::Outcome outcome = brumo::ctl::RunClient(Utf8Arguments());
  std::fwrite(outcome.out.data(), 1, outcome.out.size(), stdout);
  std::fflush(stdout);
  std::fwrite(outcome.err.data(), 1, outcome.err.size(), stderr);
  std::fflush(stderr);
  return outcome.exit_code;
}
