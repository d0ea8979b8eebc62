// The guard's real Windows seams against Wine: kernel32/iphlpapi for the lookup and Wine's
// own fwpuclnt, which cannot open an engine. This program must not sit beside the
// stand-in fwpuclnt.dll.
#include <fwpmu.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "common/utf8_win.h"
#include "dnsguard/dns_leak_guard.h"
#include "dnsguard/interface_lookup.h"
#include "dnsguard/interface_wait.h"
#include "tests/dnsguard/wine_helpers.h"

namespace brumo {
namespace {

using namespace std::string_view_literals;

std::tuple<bool, std::uint32_t, std::string> Fields(const InterfaceIndexResult& r) {
  return {r.ok, r.index, r.message};
}

TEST(Widen, ConvertsEveryByteOfTheView) {
  const struct {
    const char* name;
    std::string_view utf8;
    std::wstring wide;
  } cases[] = {
      {"empty", ""sv, L""},
      {"ASCII", "brumotun"sv, L"brumotun"},
      {"two-byte", "t\xC3\xBCn"sv, L"t\u00FCn"},
      {"three-byte", "\xE2\x82\xAC"sv, L"\u20AC"},
      {"four-byte becomes a surrogate pair", "\xF0\x9F\x98\x80"sv, std::wstring{0xD83D, 0xDE00}},
      {"embedded NUL is converted", "a\0b"sv, std::wstring(L"a\0b", 3)},
      {"no terminator needed", "brumotunXYZ"sv.substr(0, 8), L"brumotun"},
      {"invalid byte is replaced", "\xFF"sv, L"\uFFFD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Widen(c.utf8), c.wide);
  }
}

TEST(ResolveTunnelInterfaceOnWine, FindsTheTunDeviceUnderItsLinuxIndex) {
  const std::uint32_t linux_index = LinuxTunIndex();
  if (linux_index == 0) GTEST_SKIP() << kTunSkipText;

  EXPECT_EQ(Fields(ResolveTunnelInterface("brumotun")), std::tuple(true, linux_index, ""));

  // The production wait finds it at the first lookup, long before its 4 s.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Fields(WaitForTunnelInterface("brumotun")), std::tuple(true, linux_index, ""));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ResolveTunnelInterfaceOnWine, LookupFailuresCarryTheirTextAndStatus) {
  const struct {
    const char* name;
    std::string_view alias;
    const char* message;
  } cases[] = {
      {"unknown alias", "brumo-missing-0"sv, "ConvertInterfaceAliasToLuid failed: 87"},
      {"empty alias", ""sv, "Failed to convert interface alias to wide string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Fields(ResolveTunnelInterface(c.alias)), std::tuple(false, 0u, c.message));
  }
}

TEST(ResolveTunnelInterfaceOnWine, AliasEndsWithItsViewNotAtATerminator) {
  // "lo" is Wine's loopback; read on to a terminator, the alias would be "lox".
  const InterfaceIndexResult r = ResolveTunnelInterface("lox"sv.substr(0, 2));
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_NE(r.index, 0u);
}

// Wine's FwpmEngineOpen0 fails and its FwpmTransactionBegin0 aborts the process: the guard
// must stop at the failed open, report its status and stay idle.
TEST(DnsLeakGuardOnWine, FailedEngineOpenIsReportedAndLeavesTheGuardIdle) {
  FWPM_SESSION0 probe{};
  probe.flags = 1;
  HANDLE probe_handle = nullptr;
  const DWORD status =
      ::FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &probe, &probe_handle);
  if (status == 0) {
    ::FwpmEngineClose0(probe_handle);
    GTEST_SKIP() << "this fwpuclnt opens an engine; the case is about Wine's, which cannot";
  }
  const char* alias = ResolvableAlias();
  ASSERT_TRUE(ResolveTunnelInterface(alias).ok) << "no interface '" << alias << "' under Wine";

  const std::string expected = "FwpmEngineOpen0 failed: " + std::to_string(status);
  DnsLeakGuard guard;
  const auto enable = [&] {
    const OpResult r = guard.Enable(alias);
    return std::pair(r.ok, r.message);
  };
  EXPECT_EQ(enable(), std::pair(false, expected));
  EXPECT_TRUE(guard.Disable().ok);
  // Idle, not half-enabled: a second Enable tries the open again instead of succeeding.
  EXPECT_EQ(enable(), std::pair(false, expected));
}

}  // namespace
}  // namespace brumo
