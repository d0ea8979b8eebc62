#include "dnsguard/interface_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/standins/standins.h"

namespace brumo {
namespace {

using interfaces_standin::AliasFailure;
using std::chrono::milliseconds;
constexpr std::int64_t kMs = 1'000'000;  // nanoseconds

// A monotonic clock that moves only when the wait sleeps or looks up.
struct FakeTime {
  std::int64_t now_ns = 7 * kMs;  // not 0, so a wait that forgets its start shows
  std::int64_t lookup_cost_ns = 0;
  std::int64_t sleep_cost_ns = 50 * kMs;
  int clock_reads = 0;
  std::vector<milliseconds> sleeps{};
  std::vector<std::string> lookups{};
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

std::tuple<bool, std::uint32_t, std::string> Fields(const InterfaceIndexResult& r) {
  return {r.ok, r.index, r.message};
}

InterfaceIndexResult Unresolved(const std::string& alias, const std::string& last, int waited_ms) {
  return {0,
          "Failed to resolve tunnel interface '" + alias + "': " + last + " (waited " +
              std::to_string(waited_ms) + "ms)",
          false};
}

// Every lookup is of the alias as given and every pause 50 ms. A first lookup that finds
// the adapter reads no clock; a later one returns without the failures' texts; when the time
// is up, the last lookup's text and the whole milliseconds waited are reported.
TEST(WaitForInterface, LooksUpEveryPauseUntilFoundOrTimeIsUp) {
  const standins::Scope stand_ins(/*virtual_clock=*/false);
  interfaces_standin::SetInterface("brumotun", 3);
  using Answer = std::function<InterfaceIndexResult(int, std::int64_t)>;
  const Answer never = [](int, std::int64_t) { return AliasFailure(); };
  const std::string no_luid = "ConvertInterfaceAliasToLuid failed: 87";
  const std::string utf8 = "t\xC3\xBCn\xE2\x82\xAC";
  const struct {
    const char* name;
    Answer answer;  // (lookup number from 0, clock after the lookup)
    std::size_t lookups;
    InterfaceIndexResult result;
    std::string alias = "brumotun";
    std::int64_t lookup_cost_ns = 0;
    std::int64_t sleep_cost_ns = 50 * kMs;
  } cases[] = {
      {"found at once", [](int, std::int64_t) { return Found(9); }, 1, Found(9)},
      {"appears after one second",
       [](int, std::int64_t now) { return now >= 1007 * kMs ? Found(12) : AliasFailure(); }, 21,
       Found(12)},
      {"exact pauses", never, 81, Unresolved("brumotun", no_luid, 4000)},
      {"slow lookups mean fewer of them", never, 51, Unresolved("brumotun", no_luid, 4000),
       "brumotun", 30 * kMs},
      {"one more pause after the last test", never, 4, Unresolved("brumotun", no_luid, 4500),
       "brumotun", 0, 1500 * kMs},
      {"milliseconds truncated", never, 2, Unresolved("brumotun", no_luid, 4000), "brumotun", 0,
       4000 * kMs + 999'999},
      {"alias kept as given, UTF-8", never, 81, Unresolved(utf8, no_luid, 4000), utf8},
      {"only the last lookup counts",
       [](int n, std::int64_t) {
         return n < 5 ? AliasFailure() : interfaces_standin::IndexFailure(1168);
       },
       81, Unresolved("brumotun", "ConvertInterfaceLuidToIndex failed: 1168", 4000)},
      {"statuses unsigned decimal", [](int, std::int64_t) { return AliasFailure(0x80320009); }, 81,
       Unresolved("brumotun", "ConvertInterfaceAliasToLuid failed: 2150760457", 4000)},
      {"empty alias fails the conversion",
       [](int, std::int64_t) { return ResolveTunnelInterface(""); }, 81,
       Unresolved("", "Failed to convert interface alias to wide string", 4000), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTime time{.lookup_cost_ns = c.lookup_cost_ns, .sleep_cost_ns = c.sleep_cost_ns};
    EXPECT_EQ(Fields(Wait(time, c.alias, c.answer)), Fields(c.result));
    EXPECT_EQ(time.lookups, std::vector<std::string>(c.lookups, c.alias));
    EXPECT_EQ(time.sleeps, std::vector<milliseconds>(c.lookups - 1, milliseconds(50)));
    EXPECT_EQ(time.clock_reads == 0, c.lookups == 1) << time.clock_reads;
  }
}

// The production wait, on the real clock: found at once, and found after real pauses.
TEST(WaitForTunnelInterface, FindsTheAdapterAtOnceOrAfterPauses) {
  const std::vector<InterfaceIndexResult> failures = {AliasFailure(), AliasFailure(),
                                                      interfaces_standin::IndexFailure(1168)};
  for (const std::size_t failed : {std::size_t{0}, failures.size()}) {
    SCOPED_TRACE(failed);
    const standins::Scope stand_ins(/*virtual_clock=*/false);
    interfaces_standin::SetInterface("brumotun", 42);
    interfaces_standin::Script({failures.begin(), failures.begin() + static_cast<long>(failed)});
    const auto start = std::chrono::steady_clock::now();
    const InterfaceIndexResult r = WaitForTunnelInterface("brumotun");
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              static_cast<long>(failed) * kResolvePollInterval);
    EXPECT_EQ(Fields(r), Fields(Found(42)));
    EXPECT_EQ(interfaces_standin::LookedUpAliases().size(), failed + 1);
    EXPECT_EQ(platform_standin::Sleeps(), std::vector<milliseconds>(failed, kResolvePollInterval));
  }
}

}  // namespace
}  // namespace brumo
