// The reader of the stand-ins' logs: what the tests, the benchmark and the demo conclude
// from a log depends on it splitting lines and fields exactly as the stand-ins write them.
#include "tests/support/standin_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brumo::test_support {
namespace {

using Lines = std::vector<std::string>;

TEST(StandinLogTest, OnlyLinesEndedByLfAreComplete) {
  EXPECT_EQ(CompleteLines(""), Lines{});
  EXPECT_EQ(CompleteLines("stop"), Lines{});
  EXPECT_EQ(CompleteLines("stop\nrun tun=br"), Lines{"stop"});
  EXPECT_EQ(CompleteLines("a\n\nb\n"), (Lines{"a", "", "b"}));
}

TEST(StandinLogTest, FwpLineSplitsAtTabsAndAtTheFirstEquals) {
  const FwpCall call =
      ParseFwpLine("FwpmFilterAdd0\thandle=0x10010\tname=\"a=b c\"\tweight.value=\tflag\tid=3");
  EXPECT_EQ(call.function, "FwpmFilterAdd0");
  EXPECT_EQ(call.Field("handle"), "0x10010");
  EXPECT_EQ(call.Field("name"), "\"a=b c\"");
  EXPECT_EQ(call.Field("weight.value"), "");
  EXPECT_EQ(call.Field("flag"), "");
  EXPECT_EQ(call.Field("id"), "3");
  EXPECT_EQ(call.Field("status"), "<missing>");
  EXPECT_EQ(ParseFwpLine("FwpmTransactionCommit0").fields.size(), 0u);
}

FwpCall Call(const std::string& line) { return ParseFwpLine(line); }

TEST(StandinLogTest, BalanceMatchesEveryCloseWithItsOpenInLogOrder) {
  // Two service processes: ids and handles start again from 1 in the second one.
  const std::vector<FwpCall> calls = {
      Call("FwpmEngineOpen0\thandle=0x10010"),      Call("FwpmSubLayerAdd0\thandle=0x10010"),
      Call("FwpmFilterAdd0\thandle=0x10010\tid=1"), Call("FwpmFilterAdd0\thandle=0x10010\tid=2"),
      Call("FwpmFilterDeleteById0\tid=1"),          Call("FwpmFilterDeleteById0\tid=2"),
      Call("FwpmSubLayerDeleteByKey0\tkey=x"),      Call("FwpmEngineClose0\thandle=0x10010"),
      Call("FwpmEngineOpen0\thandle=0x10010"),      Call("FwpmFilterAdd0\tid=1"),
      Call("FwpmFilterDeleteById0\tid=7"),
  };
  const FilterLedger ledger = Balance(calls);
  EXPECT_EQ(ledger.filters_added, 3);
  EXPECT_EQ(ledger.filters_deleted, 3);
  EXPECT_EQ(ledger.filters_left, 1) << "a delete of an unknown id removes nothing";
  EXPECT_EQ(ledger.sublayers_left, 0);
  EXPECT_EQ(ledger.engines_left, 1);
}

TEST(StandinLogTest, ReadableSummarisesEngineCallsAndKeepsOtherLines) {
  struct Case {
    std::string line;
    std::string readable;
  };
  const Case cases[] = {
      {"run proxy_url=socks5://127.0.0.1:12735 tun=brumotun",
       "run proxy_url=socks5://127.0.0.1:12735 tun=brumotun"},
      {"FwpmEngineOpen0\tserver=null\tsession.name=\"BrumoVPN\"\tsession.flags=1\thandle=0x10010",
       "FwpmEngineOpen0 session \"BrumoVPN\" (dynamic)"},
      {"FwpmFilterAdd0\tname=\"allow\"\tlayer={09E61AEA-D214-46E2-9B21-B26B0B2F28C8}\t"
       "conditions=2\tcond0.field={3971EF2B-623E-4F9A-8CB1-6E79B806B9A7}\tcond0.value=17\t"
       "cond1.field={667FD755-D695-434A-8AF5-D3835A1259BC}\tcond1.value=7\t"
       "action.type=0x1002\tid=3\tstatus=0",
       "FwpmFilterAdd0 id 3: permit \"allow\" IPv4, only on interface 7"},
      {"FwpmFilterAdd0\tname=\"block\"\tlayer={E1CD9FE7-F4B5-4273-96C0-592E487B8650}\t"
       "conditions=0\taction.type=0x1001\tid=4",
       "FwpmFilterAdd0 id 4: block \"block\" IPv6"},
      {"FwpmFilterDeleteById0\thandle=0x10010\tid=4\tstatus=0", "FwpmFilterDeleteById0 id 4"},
      {"FwpmTransactionBegin0\thandle=0x10010\tflags=0", "FwpmTransactionBegin0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Readable(c.line), c.readable);
  }
}

}  // namespace
}  // namespace brumo::test_support
