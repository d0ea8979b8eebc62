// standin_log.exe <log> [first-line]: prints the lines of a stand-in's call log
// (tun2proxy.log or fwpuclnt.log) from line `first-line` on (1-based, default 1), one
// readable line each (see Readable in standin_log.h).
// standin_log.exe --left <fwpuclnt.log>: prints what the log leaves in the engine, as the
// JSON object of EngineLeft on one line.
// Exit status 0, or 2 on a usage error. A log that does not exist has no lines.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/utf8_win.h"
#include "tests/support/standin_log.h"

using namespace brumo::test_support;
using brumo::Widen;

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: standin_log <log> [first-line] | standin_log --left <log>\n", stderr);
    return 2;
  }
  if (std::string(argv[1]) == "--left" && argc == 3) {
    std::printf("%s\n", ReadEngineLeft(Widen(argv[2], CP_ACP)).dump().c_str());
    return 0;
  }
  long first = 1;
  if (argc == 3) {
    char* end = nullptr;
    first = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || first < 1) {
      std::fputs("standin_log: first-line must be a number from 1\n", stderr);
      return 2;
    }
  }
  const std::vector<std::string> lines = CompleteLines(ReadWholeFile(Widen(argv[1], CP_ACP)));
  for (std::size_t i = static_cast<std::size_t>(first - 1); i < lines.size(); ++i) {
    const std::string text = Readable(lines[i]) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  return 0;
}
