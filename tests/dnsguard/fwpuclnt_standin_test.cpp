// Runs beside the stand-in fwpuclnt.dll (tests/standins/fwpuclnt_dll), which Wine loads in
// preference to its own: the guard's real Windows engine calls are recorded there and
// their fields compared with the filter table.
#include <fwpmu.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "dnsguard/dns_filters.h"
#include "dnsguard/dns_leak_guard.h"
#include "dnsguard/interface_lookup.h"
#include "dnsguard/wfp_engine.h"
#include "tests/dnsguard/record_printers.h"
#include "tests/dnsguard/wine_helpers.h"
#include "tests/support/standin_log_files.h"

namespace brumo {
namespace {

using LogLine = test_support::FwpCall;

std::wstring ProgramFolder() {
  wchar_t buffer[MAX_PATH * 2];
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
  std::wstring path(buffer, length);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path;
}

// Points the stand-in at a fresh log of this test's own.
class StandinLog {
 public:
  explicit StandinLog(const wchar_t* name) {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    path_ = std::wstring(folder, length) + name + L"_" + std::to_wstring(::GetCurrentProcessId()) +
            L".log";
    ::DeleteFileW(path_.c_str());
    ::SetEnvironmentVariableW(L"BRUMO_FWP_LOG", path_.c_str());
  }
  ~StandinLog() {
    ::SetEnvironmentVariableW(L"BRUMO_FWP_LOG", nullptr);
    ::DeleteFileW(path_.c_str());
  }
  StandinLog(const StandinLog&) = delete;
  StandinLog& operator=(const StandinLog&) = delete;

  std::vector<LogLine> Lines() const {
    return test_support::ParseFwpLines(
        test_support::CompleteLines(test_support::ReadWholeFile(path_)));
  }

 private:
  std::wstring path_;
};

std::string HandleText(HANDLE handle) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
  return buffer;
}

std::string Quoted(const std::u16string& text) { return "\"" + NarrowText(text) + "\""; }

const std::string kZeroGuid = "{00000000-0000-0000-0000-000000000000}";

// The filters a log leaves before the engine's close (which takes a dynamic session's
// along): an add lasts once a commit succeeds; an abort drops the transaction's adds.
long FiltersLeftBeforeClose(const std::vector<LogLine>& lines) {
  long pending = 0;
  long kept = 0;
  for (const LogLine& line : lines) {
    if (line.Field("status") != "0") continue;
    if (line.function == "FwpmFilterAdd0") ++pending;
    if (line.function == "FwpmTransactionCommit0") kept += std::exchange(pending, 0);
    if (line.function == "FwpmTransactionAbort0") pending = 0;
    if (line.function == "FwpmFilterDeleteById0") --kept;
  }
  return kept + pending;
}

TEST(StandinFwpuclnt, LoadedFromItsBuildPathItLogsEachCall) {
  const std::wstring dll = ProgramFolder() + L"fwpuclnt.dll";
  const HMODULE module = ::LoadLibraryW(dll.c_str());
  ASSERT_NE(module, nullptr) << "no stand-in beside this program";
  // The same module serves this program's own imports of fwpuclnt.
  EXPECT_EQ(::GetModuleHandleW(L"fwpuclnt.dll"), module);

  using OpenFunction = decltype(&::FwpmEngineOpen0);
  const auto open = reinterpret_cast<OpenFunction>(
      reinterpret_cast<void (*)()>(::GetProcAddress(module, "FwpmEngineOpen0")));
  ASSERT_NE(open, nullptr);

  StandinLog log(L"standin_probe");
  wchar_t name[] = L"probe \"x\"\tname";
  FWPM_SESSION0 session{};
  session.displayData.name = name;
  session.flags = 1;
  HANDLE handle = nullptr;
  EXPECT_EQ(open(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &handle), 0u);
  EXPECT_NE(handle, nullptr);

  const std::vector<LogLine> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].function, "FwpmEngineOpen0");
  EXPECT_EQ(lines[0].fields.at("session.name"), "\"probe \\\"x\\\"\\tname\"");
  EXPECT_EQ(lines[0].fields.at("session.description"), "null");
  EXPECT_EQ(lines[0].fields.at("session.flags"), "1");
  EXPECT_EQ(lines[0].fields.at("handle"), HandleText(handle));
  EXPECT_EQ(lines[0].fields.at("status"), "0");
  ::FreeLibrary(module);
}

// Enable and Disable through the real engine seam: every field the platform receives.
TEST(StandinFwpuclnt, GuardSubmitsTheTableFieldByField) {
  const char* alias = ResolvableAlias();
  const InterfaceIndexResult found = ResolveTunnelInterface(alias);
  ASSERT_TRUE(found.ok) << found.message;

  StandinLog log(L"standin_guard");
  {
    DnsLeakGuard guard;
    ASSERT_TRUE(guard.Enable(alias).ok);
    ASSERT_TRUE(guard.Disable().ok);
  }
  const std::vector<LogLine> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u + 1 + 1 + 12 + 1 + 12 + 1 + 1);

  const LogLine& open = lines[0];
  ASSERT_EQ(open.function, "FwpmEngineOpen0");
  const std::map<std::string, std::string> expected_open = {
      {"server", "null"},
      {"authn", "10"},
      {"authIdentity", "null"},
      {"session.key", kZeroGuid},
      {"session.name", "\"BrumoVPN WFP session\""},
      {"session.description", "\"BrumoVPN DNS leak prevention\""},
      {"session.flags", "1"},
      {"session.txnWaitTimeoutInMSec", "0"},
      {"session.processId", "0"},
      {"session.sid", "null"},
      {"session.username", "null"},
      {"session.kernelMode", "0"},
      {"handle", open.fields.at("handle")},
      {"status", "0"},
  };
  EXPECT_EQ(open.fields, expected_open);
  const std::string handle = open.fields.at("handle");

  EXPECT_EQ(lines[1].function, "FwpmTransactionBegin0");
  EXPECT_EQ(lines[1].fields.at("flags"), "0");

  const LogLine& sublayer = lines[2];
  ASSERT_EQ(sublayer.function, "FwpmSubLayerAdd0");
  const std::map<std::string, std::string> expected_sublayer = {
      {"handle", handle},
      {"key", "{8F6A0F7D-2ED2-4D79-A21F-7B2D11417398}"},
      {"name", "\"BrumoVPN DNS leak prevention\""},
      {"description", "\"Blocks outbound DNS on non-tunnel interfaces\""},
      {"flags", "0"},
      {"providerKey", "null"},
      {"providerData.size", "0"},
      {"weight", "32768"},
      {"sd", "null"},
      {"status", "0"},
  };
  EXPECT_EQ(sublayer.fields, expected_sublayer);

  const std::vector<FilterRecord> table = BuildDnsFilters(found.index);
  std::vector<std::string> added_ids;
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE("filter #" + std::to_string(i + 1));
    const LogLine& line = lines[3 + i];
    ASSERT_EQ(line.function, "FwpmFilterAdd0");
    const FilterRecord& f = table[i];
    std::map<std::string, std::string> expected = {
        {"handle", handle},
        {"filterKey", kZeroGuid},
        {"name", Quoted(f.name)},
        {"description", "null"},
        {"flags", "0"},
        {"providerKey", "null"},
        {"providerData.size", "0"},
        {"layer", GuidText(f.layer_key)},
        {"sublayer", "{8F6A0F7D-2ED2-4D79-A21F-7B2D11417398}"},
        {"weight.type", "1"},
        {"weight.value", f.action_type == kFwpActionPermit ? "15" : "10"},
        {"conditions", std::to_string(f.conditions.size())},
        {"action.type", f.action_type == kFwpActionPermit ? "0x1002" : "0x1001"},
        {"action.key", kZeroGuid},
        {"rawContext", "0"},
        {"sd", "null"},
        {"id", line.fields.count("id") ? line.fields.at("id") : "?"},
        {"status", "0"},
    };
    for (std::size_t c = 0; c < f.conditions.size(); ++c) {
      const std::string prefix = "cond" + std::to_string(c);
      expected[prefix + ".field"] = GuidText(f.conditions[c].field_key);
      expected[prefix + ".match"] = "0";
      expected[prefix + ".type"] =
          std::to_string(static_cast<unsigned>(f.conditions[c].value.type));
      expected[prefix + ".value"] = std::to_string(f.conditions[c].value.value);
    }
    EXPECT_EQ(line.fields, expected);
    added_ids.push_back(line.fields.at("id"));
  }

  EXPECT_EQ(lines[15].function, "FwpmTransactionCommit0");
  for (std::size_t i = 0; i < 12; ++i) {
    SCOPED_TRACE("deletion #" + std::to_string(i + 1));
    EXPECT_EQ(lines[16 + i].function, "FwpmFilterDeleteById0");
    EXPECT_EQ(lines[16 + i].fields.at("id"), added_ids[i]);
  }
  EXPECT_EQ(lines[28].function, "FwpmSubLayerDeleteByKey0");
  EXPECT_EQ(lines[28].fields.at("key"), "{8F6A0F7D-2ED2-4D79-A21F-7B2D11417398}");
  EXPECT_EQ(lines[29].function, "FwpmEngineClose0");
  for (const LogLine& line : lines) {
    SCOPED_TRACE(line.function);
    EXPECT_EQ(line.fields.at("handle"), handle);
  }
}

// Wine's interface indices are small; the seam must carry all 32 bits of one.
TEST(StandinFwpuclnt, InterfaceIndexKeepsAllItsBits) {
  StandinLog log(L"standin_index");
  ScopedFilterEngine engine;
  ASSERT_EQ(wfp::OpenEngine(MakeSessionRecord(), engine.put()), 0u);
  const FilterRecord permit =
      BuildPermitFilter(kFwpmLayerOutboundTransportV4, kDnsFilterRules[0], 0x89ABCDEF);
  std::uint64_t id = 0;
  ASSERT_EQ(wfp::AddFilter(engine.get(), permit, &id), 0u);
  EXPECT_EQ(log.Lines().at(1).Field("cond2.value"), std::to_string(0x89ABCDEFu));
}

// A failed filter add or commit: the real seam aborts the transaction and closes the engine,
// and nothing of the failed Enable lasts.
TEST(StandinFwpuclnt, FailedEnableEndsWithTheAbort) {
  using FailCall = void(WINAPI*)(const char*, UINT32, DWORD);
  const auto fail_call = reinterpret_cast<FailCall>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"fwpuclnt.dll"), "BrumoStandinFailCall")));
  ASSERT_NE(fail_call, nullptr);
  for (const auto& [function, nth] :
       {std::pair{"FwpmFilterAdd0", 5}, {"FwpmTransactionCommit0", 1}}) {
    SCOPED_TRACE(function);
    StandinLog log(L"standin_fail");
    fail_call(function, nth, 0x80320009);
    DnsLeakGuard guard;
    EXPECT_FALSE(guard.Enable(ResolvableAlias()).ok);
    fail_call(nullptr, 0, 0);

    const std::vector<LogLine> lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].function, "FwpmTransactionAbort0");
    EXPECT_EQ(lines.back().function, "FwpmEngineClose0");
    EXPECT_EQ(FiltersLeftBeforeClose(lines), 0);
  }
}

}  // namespace
}  // namespace brumo
