// Windows only: the controller bound to tun2proxy the way the service is, at load time
// through the import library made from tun2proxy.def, here against the stand-in
// tun2proxy.dll copied beside this program. Checks that the exports resolve and that the
// arguments cross the DLL boundary intact, through the stand-in's call log.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "dnsguard/dns_leak_guard.h"
#include "tests/dnsguard/wine_helpers.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

// The call log of one start and its stop.
constexpr char kStartAndStop[] =
    "set_log_callback callback=null ctx=null\n"
    "run proxy_url=socks5://127.0.0.1:12735 tun=brumotun bypass=10.255.255.255/32 "
    "dns_strategy=2 root_privilege=0 verbosity=0\n"
    "stop\n";

// The stand-in reads its environment through the same C runtime on every call.
void SetEnv(const std::string& assignment) { ASSERT_EQ(_putenv(assignment.c_str()), 0); }

TEST(Tun2proxyDllTest, ControllerDrivesTheLibraryThroughItsExports) {
  // A start succeeds only once the guard has found the adapter.
  if (LinuxTunIndex() == 0) GTEST_SKIP() << kTunSkipText;
  const std::filesystem::path log =
      std::filesystem::temp_directory_path() / "brumo_tun2proxy_dll_test.log";
  std::filesystem::remove(log);
  SetEnv("BRUMO_T2P_LOG=" + log.string());

  DnsLeakGuard guard;
  {
    TunnelController controller(&guard);

    // "delay" outlives the launch check; the stop cuts it short. "return" ends within it.
    for (const auto& [mode, start_message] : {std::pair{"block", ""},
                                              {"return", "tun2proxy thread exited prematurely"},
                                              {"delay:60000", ""}}) {
      SCOPED_TRACE(mode);
      SetEnv(std::string("BRUMO_T2P_MODE=") + mode);
      const OpResult started = controller.Start();
      EXPECT_EQ(started.message, start_message);
      EXPECT_EQ(started.ok, *start_message == '\0');
      EXPECT_EQ(controller.IsRunning(), started.ok);
      EXPECT_TRUE(controller.Stop().ok);
      EXPECT_FALSE(controller.IsRunning());
    }
  }

  std::ostringstream written;
  written << std::ifstream(log, std::ios::binary).rdbuf();
  EXPECT_EQ(written.str(), std::string(kStartAndStop) + kStartAndStop + kStartAndStop);
  SetEnv("BRUMO_T2P_LOG=");
  std::filesystem::remove(log);
}

}  // namespace
}  // namespace brumo
