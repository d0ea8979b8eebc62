// Runs beside the stand-in fwpuclnt.dll (tests/standins/fwpuclnt_dll), which Wine loads in
// preference to its own: the guard's real Windows engine calls reach the in-memory engine
// there, and the lines it logs are compared with the guard's records.
#include <fwpmu.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "dnsguard/dns_filters.h"
#include "dnsguard/dns_leak_guard.h"
#include "dnsguard/interface_lookup.h"
#include "dnsguard/wfp_engine.h"
#include "tests/dnsguard/fwp_log_checks.h"
#include "tests/dnsguard/wine_helpers.h"
#include "tests/support/process_runner.h"

namespace brumo {
namespace {

using nlohmann::json;
using test_support::CompleteLines;
using test_support::ParseFwpLines;

// Points the stand-in at a fresh log of this test's own.
struct StandinLog {
  explicit StandinLog(const wchar_t* name)
      : path(std::filesystem::temp_directory_path() /
             (name + std::to_wstring(::GetCurrentProcessId()) + L".log")) {
    std::filesystem::remove(path);
    ::SetEnvironmentVariableW(L"BRUMO_FWP_LOG", path.c_str());
  }
  ~StandinLog() {
    ::SetEnvironmentVariableW(L"BRUMO_FWP_LOG", nullptr);
    std::filesystem::remove(path);
  }
  StandinLog(const StandinLog&) = delete;
  StandinLog& operator=(const StandinLog&) = delete;

  std::vector<FwpCall> Lines() const {
    return ParseFwpLines(CompleteLines(test_support::ReadWholeFile(path)));
  }
  const std::filesystem::path path;
};

// A call with fields outside the records set, and a name that needs escaping and UTF-8;
// the reader takes complete lines only.
TEST(StandinFwpuclnt, LoadedFromItsBuildPathItLogsEachCall) {
  const std::wstring dll = test_support::OwnDirectory() + L"fwpuclnt.dll";
  const HMODULE module = ::LoadLibraryW(dll.c_str());
  ASSERT_NE(module, nullptr) << "no stand-in beside this program";
  // The same module serves this program's own imports of fwpuclnt, called below.
  EXPECT_EQ(::GetModuleHandleW(L"fwpuclnt.dll"), module);

  StandinLog log(L"standin_probe_");
  wchar_t name[] = L"probe \"x\"\t\u00e9\U0001F600";
  FWPM_SESSION0 session{};
  session.displayData.name = name;
  session.flags = 1;
  session.processId = 4;
  HANDLE handle = nullptr;
  EXPECT_EQ(::FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &handle), 0u);
  EXPECT_NE(handle, nullptr);
  EXPECT_EQ(::FwpmEngineClose0(handle), 0u);
  std::ofstream(log.path, std::ios::app) << R"({"call":"FwpmEngineOpen0")";

  std::vector<FwpCall> lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["call"], "FwpmEngineOpen0");
  EXPECT_EQ(lines[0]["session"]["name"], "probe \"x\"\t\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(lines[0]["session"]["flags"], 1);
  EXPECT_EQ(lines[0]["extra"], (json{{"processId", true}}));
  EXPECT_EQ(lines[0]["handle"], reinterpret_cast<std::uintptr_t>(handle));
  EXPECT_EQ(lines[0]["pid"], ::GetCurrentProcessId());
  EXPECT_EQ(lines[0]["live"], Live(1, 0, 0, 0));
  EXPECT_EQ(lines[1]["call"], "FwpmEngineClose0");
  EXPECT_EQ(lines[1]["live"], Live(0, 0, 0, 0));
  ::FreeLibrary(module);
}

// Enable and Disable through the real engine seam: every record the platform receives.
TEST(StandinFwpuclnt, GuardSubmitsTheTableFieldByField) {
  const char* alias = ResolvableAlias();
  const InterfaceIndexResult found = ResolveTunnelInterface(alias);
  ASSERT_TRUE(found.ok) << found.message;

  StandinLog log(L"standin_guard_");
  {
    DnsLeakGuard guard;
    ASSERT_TRUE(guard.Enable(alias).ok);
    ASSERT_TRUE(guard.Disable().ok);
  }
  const std::vector<FwpCall> lines = log.Lines();
  ASSERT_EQ(lines.size(), 16u + 12 + 2) << Functions(lines);
  std::vector<std::uint64_t> ids;
  ASSERT_NO_FATAL_FAILURE(
      ExpectEnableLines({lines.begin(), lines.begin() + 16}, found.index, &ids));
  ExpectDisableLines({lines.begin() + 16, lines.end()}, ids, lines[0]["handle"]);
}

// Wine's interface indices are small; the seam must carry all 32 bits of one.
TEST(StandinFwpuclnt, InterfaceIndexKeepsAllItsBits) {
  StandinLog log(L"standin_index_");
  ScopedFilterEngine engine;
  ASSERT_EQ(wfp::OpenEngine(MakeSessionRecord(), engine.put()), 0u);
  ASSERT_EQ(wfp::AddSublayer(engine.get(), MakeSublayerRecord()), 0u);
  const FilterRecord permit =
      BuildPermitFilter(kFwpmLayerOutboundTransportV4, kDnsFilterRules[0], 0x89ABCDEF);
  std::uint64_t id = 0;
  ASSERT_EQ(wfp::AddFilter(engine.get(), permit, &id), 0u);
  EXPECT_EQ(log.Lines().at(2)["filter"], json(permit));
}

// A failed filter add or commit: the real seam aborts the transaction, which leaves nothing
// of the failed Enable, and then closes the engine.
TEST(StandinFwpuclnt, FailedEnableEndsWithTheAbort) {
  const auto fail_call =
      reinterpret_cast<void(WINAPI*)(const char*, UINT32, DWORD)>(reinterpret_cast<void (*)()>(
          ::GetProcAddress(::GetModuleHandleW(L"fwpuclnt.dll"), "BrumoStandinFailCall")));
  ASSERT_NE(fail_call, nullptr);
  for (const auto& [function, nth] :
       {std::pair{"FwpmFilterAdd0", 5}, {"FwpmTransactionCommit0", 1}}) {
    SCOPED_TRACE(function);
    StandinLog log(L"standin_fail_");
    fail_call(function, nth, 0x80320009);
    DnsLeakGuard guard;
    EXPECT_FALSE(guard.Enable(ResolvableAlias()).ok);

    std::vector<FwpCall> lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 3]["status"], 0x80320009u) << Functions(lines);
    EXPECT_EQ(lines[lines.size() - 2]["call"], "FwpmTransactionAbort0");
    EXPECT_EQ(lines[lines.size() - 2]["live"], Live(1, 0, 0, 0));
    EXPECT_EQ(lines.back()["call"], "FwpmEngineClose0");
    EXPECT_EQ(lines.back()["live"], Live(0, 0, 0, 0));
  }
}

// The reader: what each process's last line leaves, summed, and the lines for people.
TEST(StandinLogReader, SumsTheLastStateOfEachProcess) {
  const std::vector<std::string> lines = CompleteLines(
      R"({"call":"FwpmFilterAdd0","pid":1,"id":3,"status":0,"live":{"engines":1,"filters":1},)"
      R"("filter":{"name":"allow","action":4098,"layer":"{09E61AEA-D214-46E2-9B21-B26B0B2F28C8}",)"
      R"("conditions":[{"field":"{667FD755-D695-434A-8AF5-D3835A1259BC}","value":{"value":7}}]}})"
      "\n"
      R"({"call":"FwpmFilterAdd0","pid":2,"id":1,"status":0,"live":{"engines":1,"sublayers":1}})"
      "\n"
      R"({"call":"FwpmEngineClose0","pid":1,"status":0,"live":{"engines":0,"filters":0}})"
      "\n"
      R"({"call":"FwpmFilterDeleteById0","pid":2,"id":9,"status":5,"live":{"engines":1,"sublayers":1}})"
      "\nrun tun=brumotun\n{\"call\":\"FwpmEngineOpen0\"");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(test_support::EngineLeft(ParseFwpLines(lines)),
            json::parse(R"({"engines":1,"transactions":0,"sublayers":1,"filters":0,"added":2,)"
                        R"("deleted":0})"));
  EXPECT_EQ(test_support::Readable(lines[0]),
            "FwpmFilterAdd0 id 3: permit \"allow\" IPv4, only on interface 7");
  EXPECT_EQ(test_support::Readable(lines[3]), "FwpmFilterDeleteById0 id 9 -> status 5");
  EXPECT_EQ(test_support::Readable(lines[4]), "run tun=brumotun");
}

}  // namespace
}  // namespace brumo
