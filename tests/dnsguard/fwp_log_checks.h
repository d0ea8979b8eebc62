// Checks of the stand-in fwpuclnt.dll's lines against the guard's records, for the tests
// that run the real Windows engine seam (dnsguard/wfp_engine_win.cpp) under Wine: what the
// DLL received, turned back into records, must be the records the guard built, with every
// platform field outside them unset.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dnsguard/dns_filters.h"
#include "tests/standins/wfp/wfp_json.h"
#include "tests/support/standin_log.h"

namespace brumo {

using test_support::FwpCall;

inline std::string Functions(const std::vector<FwpCall>& calls) {
  std::string text;
  for (const FwpCall& call : calls) text += call.value("call", "?") + " ";
  return text;
}

// The engine's live state as the DLL logs it.
inline nlohmann::json Live(int engines, int transactions, int sublayers, int filters) {
  return {{"engines", engines},
          {"transactions", transactions},
          {"sublayers", sublayers},
          {"filters", filters}};
}

// Every call succeeded on `handle` and set nothing beyond its records.
inline void ExpectPlainCallsOn(std::vector<FwpCall> calls, const nlohmann::json& handle) {
  for (FwpCall& call : calls) {
    SCOPED_TRACE(call.dump());
    EXPECT_EQ(call["handle"], handle);
    EXPECT_EQ(call["status"], 0);
    EXPECT_FALSE(call.contains("extra"));
  }
}

// The lines of an Enable (the engine otherwise empty): the open of the guard's session,
// one transaction holding its sublayer and the filter table of `index`, the commit. Gives
// the filter ids in the order added.
inline void ExpectEnableLines(std::vector<FwpCall> calls, std::uint32_t index,
                              std::vector<std::uint64_t>* ids) {
  const std::vector<FilterRecord> table = BuildDnsFilters(index);
  std::string functions = "FwpmEngineOpen0 FwpmTransactionBegin0 FwpmSubLayerAdd0 ";
  for (std::size_t i = 0; i < table.size(); ++i) functions += "FwpmFilterAdd0 ";
  ASSERT_EQ(Functions(calls), functions + "FwpmTransactionCommit0 ");
  EXPECT_EQ(calls[0]["session"], nlohmann::json(MakeSessionRecord()));
  EXPECT_EQ(calls[0]["authn"], 10) << "RPC_C_AUTHN_WINNT";
  EXPECT_EQ(calls[2]["sublayer"], nlohmann::json(MakeSublayerRecord()));
  ids->clear();
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE("filter #" + std::to_string(i + 1));
    EXPECT_EQ(calls[3 + i]["filter"], nlohmann::json(table[i]));
    ids->push_back(calls[3 + i].value("id", std::uint64_t{0}));
  }
  EXPECT_EQ(calls.back()["live"], Live(1, 0, 1, 12));
  ExpectPlainCallsOn(calls, calls[0]["handle"]);
}

// The lines of the Disable that follows: the filters deleted in the order they were added,
// then the sublayer, then the handle closed, and nothing left.
inline void ExpectDisableLines(std::vector<FwpCall> calls, const std::vector<std::uint64_t>& ids,
                               const nlohmann::json& handle) {
  std::string functions;
  for (std::size_t i = 0; i < ids.size(); ++i) functions += "FwpmFilterDeleteById0 ";
  ASSERT_EQ(Functions(calls), functions + "FwpmSubLayerDeleteByKey0 FwpmEngineClose0 ");
  for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(calls[i]["id"], ids[i]) << i;
  FwpCall& sublayer = calls[calls.size() - 2];
  EXPECT_EQ(sublayer["key"], nlohmann::json(kDnsSublayerKey));
  EXPECT_EQ(sublayer["live"], Live(1, 0, 0, 0)) << "deleted before the close";
  EXPECT_EQ(calls.back()["live"], Live(0, 0, 0, 0));
  ExpectPlainCallsOn(calls, handle);
}

}  // namespace brumo
