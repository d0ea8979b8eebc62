#include "dnsguard/interface_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/standins/interfaces/interfaces_standin.h"
#include "tests/standins/platform/platform_standin.h"

namespace brumo {
namespace {

using std::chrono::milliseconds;
constexpr std::int64_t kMs = 1'000'000;  // nanoseconds

// A monotonic clock that moves only when the wait sleeps or looks up.
struct FakeTime {
  std::int64_t now_ns = 7 * kMs;  // not 0, so a wait that forgets its start shows
  std::int64_t lookup_cost_ns = 0;
  std::int64_t sleep_cost_ns = 50 * kMs;
  int clock_reads = 0;
  std::vector<milliseconds> sleeps;
  std::vector<std::string> lookups;
};

// Runs the wait; `answer(lookup number from 0, clock after the lookup)` gives each result.
InterfaceIndexResult Wait(FakeTime& time, std::string_view alias,
                          const std::function<InterfaceIndexResult(int, std::int64_t)>& answer) {
  return WaitForInterface(
      alias,
      [&](std::string_view looked_up) {
        time.lookups.emplace_back(looked_up);
        time.now_ns += time.lookup_cost_ns;
        return answer(static_cast<int>(time.lookups.size()) - 1, time.now_ns);
      },
      [&] {
        ++time.clock_reads;
        return time.now_ns;
      },
      [&](milliseconds pause) {
        time.sleeps.push_back(pause);
        time.now_ns += time.sleep_cost_ns;
      });
}

InterfaceIndexResult Found(std::uint32_t index) { return {index, std::string(), true}; }

TEST(WaitForInterface, FirstLookupFoundReadsNoClockAndNeverSleeps) {
  FakeTime time;
  const InterfaceIndexResult r = Wait(time, "brumotun", [](int, std::int64_t) { return Found(9); });
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.index, 9u);
  EXPECT_EQ(r.message, "");
  EXPECT_EQ(time.lookups, std::vector<std::string>{"brumotun"});
  EXPECT_EQ(time.clock_reads, 0);
  EXPECT_TRUE(time.sleeps.empty());
}

TEST(WaitForInterface, AdapterAppearingAfterOneSecondIsFoundAtTheNextLookup) {
  FakeTime time;
  const std::int64_t appears_at = time.now_ns + 1000 * kMs;
  const InterfaceIndexResult r = Wait(time, "brumotun", [&](int, std::int64_t now) {
    return now >= appears_at ? Found(12) : interfaces_standin::AliasFailure();
  });
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.index, 12u);
  EXPECT_EQ(r.message, "");  // the failures' texts are gone with them
  EXPECT_EQ(time.lookups.size(), 21u);
  EXPECT_EQ(time.sleeps, std::vector<milliseconds>(20, milliseconds(50)));
}

TEST(WaitForInterface, NeverFoundReportsAliasLastMessageAndWholeMillisecondsWaited) {
  const struct {
    const char* name;
    std::string alias;
    std::int64_t lookup_cost_ns;
    std::int64_t sleep_cost_ns;
    std::size_t lookups;
    std::string message;
  } cases[] = {
      {"exact pauses", "brumotun", 0, 50 * kMs, 81,
       "Failed to resolve tunnel interface 'brumotun': ConvertInterfaceAliasToLuid failed: 87 "
       "(waited 4000ms)"},
      {"slow lookups mean fewer of them", "brumotun", 30 * kMs, 50 * kMs, 51,
       "Failed to resolve tunnel interface 'brumotun': ConvertInterfaceAliasToLuid failed: 87 "
       "(waited 4000ms)"},
      {"one more pause after the last test", "brumotun", 0, 1500 * kMs, 4,
       "Failed to resolve tunnel interface 'brumotun': ConvertInterfaceAliasToLuid failed: 87 "
       "(waited 4500ms)"},
      {"milliseconds truncated", "brumotun", 0, 4000 * kMs + 999'999, 2,
       "Failed to resolve tunnel interface 'brumotun': ConvertInterfaceAliasToLuid failed: 87 "
       "(waited 4000ms)"},
      {"alias kept as given, UTF-8", "t\xC3\xBCn\xE2\x82\xAC", 0, 50 * kMs, 81,
       "Failed to resolve tunnel interface 't\xC3\xBCn\xE2\x82\xAC': "
       "ConvertInterfaceAliasToLuid failed: 87 (waited 4000ms)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTime time;
    time.lookup_cost_ns = c.lookup_cost_ns;
    time.sleep_cost_ns = c.sleep_cost_ns;
    const InterfaceIndexResult r =
        Wait(time, c.alias, [](int, std::int64_t) { return interfaces_standin::AliasFailure(); });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.index, 0u);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(time.lookups.size(), c.lookups);
    EXPECT_EQ(time.sleeps.size(), c.lookups - 1);
    EXPECT_EQ(time.lookups.back(), c.alias);
  }
}

TEST(WaitForInterface, OnlyTheLastLookupCounts) {
  FakeTime time;
  const InterfaceIndexResult r = Wait(time, "brumotun", [](int n, std::int64_t) {
    return n < 5 ? interfaces_standin::AliasFailure() : interfaces_standin::IndexFailure(1168);
  });
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message,
            "Failed to resolve tunnel interface 'brumotun': ConvertInterfaceLuidToIndex failed: "
            "1168 (waited 4000ms)");
}

TEST(WaitForInterface, StatusesAreUnsignedDecimal) {
  FakeTime time;
  const InterfaceIndexResult r = Wait(time, "brumotun", [](int, std::int64_t) {
    return interfaces_standin::AliasFailure(0x80320009);
  });
  EXPECT_EQ(r.message,
            "Failed to resolve tunnel interface 'brumotun': ConvertInterfaceAliasToLuid failed: "
            "2150760457 (waited 4000ms)");
}

TEST(WaitForInterface, EmptyAliasFailsEveryLookupWithTheConversionText) {
  interfaces_standin::Reset();
  interfaces_standin::SetInterface("brumotun", 3);
  FakeTime time;
  const InterfaceIndexResult r =
      Wait(time, "", [](int, std::int64_t) { return ResolveTunnelInterface(""); });
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message,
            "Failed to resolve tunnel interface '': Failed to convert interface alias to wide "
            "string (waited 4000ms)");
}

// The production wait, on the real clock: found at once, and found after a few real pauses.
class WaitForTunnelInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    interfaces_standin::Reset();
    platform_standin::Reset();
  }
};

TEST_F(WaitForTunnelInterfaceTest, PresentAdapterIsFoundWithOneLookup) {
  interfaces_standin::SetInterface("brumotun", 42);
  const InterfaceIndexResult r = WaitForTunnelInterface("brumotun");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.index, 42u);
  EXPECT_EQ(interfaces_standin::LookedUpAliases().size(), 1u);
}

TEST_F(WaitForTunnelInterfaceTest, LateAdapterIsFoundAfterRealPauses) {
  interfaces_standin::SetInterface("brumotun", 42);
  interfaces_standin::Script({interfaces_standin::AliasFailure(),
                              interfaces_standin::AliasFailure(),
                              interfaces_standin::IndexFailure(1168)});
  const auto start = std::chrono::steady_clock::now();
  const InterfaceIndexResult r = WaitForTunnelInterface("brumotun");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.index, 42u);
  EXPECT_EQ(r.message, "");
  EXPECT_EQ(interfaces_standin::LookedUpAliases().size(), 4u);
  EXPECT_GE(waited, 3 * kResolvePollInterval);
  EXPECT_EQ(platform_standin::Sleeps(), std::vector<milliseconds>(3, kResolvePollInterval));
}

}  // namespace
}  // namespace brumo
