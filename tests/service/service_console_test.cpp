// BrumoVPN.exe started from a console instead of by the SCM. The product and a stand-in
// tun2proxy.dll (it binds the library at load time) are copied into "console run\" beside
// this program.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "common/utf8_win.h"
#include "tests/support/process_runner.h"

namespace brumo {
namespace {

using test_support::OwnDirectory;
using test_support::RunProcess;

// The eight lines as standard output carries them: the C runtime's text mode ends each
// line with CR LF.
std::string ExpectedText(const std::string& program_path) {
  return "BrumoVPN Service\r\n"
         "================\r\n"
         "This executable is designed to run as a Windows Service.\r\n"
         "\r\n"
         "To install: sc create BrumoVPN binPath= \"" +
         program_path +
         "\"\r\n"
         "To start:   sc start BrumoVPN\r\n"
         "To stop:    sc stop BrumoVPN\r\n"
         "To delete:  sc delete BrumoVPN\r\n"
         "\r\n"
         "Library functions linked successfully.\r\n";
}

TEST(ServiceConsoleTest, PrintsInstallTextWithItsOwnPathAndExitsZero) {
  const std::wstring exe = OwnDirectory() + L"console run\\BrumoVPN.exe";
  ASSERT_NE(GetFileAttributesW(exe.c_str()), INVALID_FILE_ATTRIBUTES);
  struct Case {
    const char* name;
    std::wstring command_line;
    std::wstring application;
    std::string argv0;
  };
  const Case cases[] = {
      {"full path with a space", L"\"" + exe + L"\"", L"", Narrow(exe, CP_ACP)},
      // argv[0] is the command line's first word, whatever the program file is.
      {"bare name", L"BrumoVPN.exe", exe, "BrumoVPN.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const test_support::ProcessResult result = RunProcess(c.command_line, c.application);
    ASSERT_EQ(result.start_error, 0u);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, ExpectedText(c.argv0));
    EXPECT_EQ(result.err, "");
  }
}

}  // namespace
}  // namespace brumo
