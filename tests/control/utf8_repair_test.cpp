#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "control/utf8_repair.h"

namespace brumo {
namespace {

using namespace std::string_literals;

const std::string kFffd = "\xEF\xBF\xBD";

struct RepairCase {
  const char* name;
  std::string input;
  std::string repaired;
};

// Well-formed text is kept as it is; in any other, each maximal ill-formed part becomes one
// U+FFFD.
TEST(Utf8RepairTest, EachMaximalIllFormedPartBecomesOneReplacement) {
  const std::string grin = "\xF0\x9F\x98\x80";
  const RepairCase cases[] = {
      {"empty", "", ""},
      {"plain ASCII", "plain ASCII", "plain ASCII"},
      {"NUL and DEL", "NUL \0 and DEL \x7F"s, "NUL \0 and DEL \x7F"s},
      {"U+0080, lowest 2-byte", "\xC2\x80", "\xC2\x80"},
      {"U+07FF", "\xDF\xBF", "\xDF\xBF"},
      {"U+0800, lowest 3-byte", "\xE0\xA0\x80", "\xE0\xA0\x80"},
      {"U+D7FF, just below the surrogates", "\xED\x9F\xBF", "\xED\x9F\xBF"},
      {"U+E000, just above them", "\xEE\x80\x80", "\xEE\x80\x80"},
      {"U+FFFF", "\xEF\xBF\xBF", "\xEF\xBF\xBF"},
      {"U+10000, lowest 4-byte", "\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
      {"U+10FFFF, the highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"mixed", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC " + grin,
       "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC " + grin},
      {"lone continuation", "a\x80z", "a" + kFffd + "z"},
      {"two continuations", "\x80\xBF", kFffd + kFffd},
      {"never-lead bytes", "\xC0\xC1\xF5\xFF", kFffd + kFffd + kFffd + kFffd},
      {"overlong 2-byte slash", "\xC0\xAF", kFffd + kFffd},
      {"overlong 3-byte", "\xE0\x80\xAF", kFffd + kFffd + kFffd},
      {"overlong 4-byte", "\xF0\x80\x80\xAF", kFffd + kFffd + kFffd + kFffd},
      {"surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
      {"truncated 2-byte at end", "ab\xC3", "ab" + kFffd},
      {"truncated 3-byte at end", "\xE2\x82", kFffd},
      {"truncated 4-byte at end", "\xF0\x9F\x98", kFffd},
      {"truncated 3-byte before ASCII", "\xE2\x82\x41"s, kFffd + "A"},
      {"truncated 4-byte before a valid one", "\xF0\x9F" + grin, kFffd + grin},
      {"lead followed by lead", "\xC3\xC3\xA9", kFffd + "\xC3\xA9"},
      {"valid around invalid", "\xC3\xA9\xFF\xC3\xA9", "\xC3\xA9" + kFffd + "\xC3\xA9"},
      {"NUL after a lead", "\xC3\0"s, kFffd + "\0"s},
  };
  for (const RepairCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsValidUtf8(c.input), c.input == c.repaired);
    EXPECT_EQ(RepairUtf8(c.input), c.repaired);
    EXPECT_TRUE(IsValidUtf8(RepairUtf8(c.input)));
  }
}

// The reply serialiser is the judge of what may be sent, so the check must agree with it:
// on every one- and two-byte text that starts outside ASCII, on three-byte texts with every
// lead and middle byte beside a spread of final bytes, and on four-byte texts with a 4-byte
// lead and a spread of later bytes. The repair must produce text that
// it accepts.
TEST(Utf8RepairTest, AgreesWithTheStrictSerialiser) {
  auto serialiser_accepts = [](const std::string& text) {
    try {
      (void)nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
      return true;
    } catch (const nlohmann::json::type_error&) {
      return false;
    }
  };
  const std::vector<int> spread = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F,
                                   0xA0, 0xBF, 0xC0, 0xC3, 0xE0, 0xF0, 0xFF};
  std::vector<std::string> texts;
  for (int a = 0x80; a < 0x100; ++a) {
    texts.push_back(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 0x100; ++b) {
      const std::string two = {static_cast<char>(a), static_cast<char>(b)};
      texts.push_back(two);
      if (a < 0xE0) continue;
      for (int c : spread) {
        texts.push_back(two + static_cast<char>(c));
        if (a < 0xF0 || a > 0xF4) continue;
        for (int d : {0x41, 0x80, 0xBF, 0xFF})
          texts.push_back(two + static_cast<char>(c) + static_cast<char>(d));
      }
    }
  }
  for (const std::string& text : texts) {
    if (IsValidUtf8(text) != serialiser_accepts(text)) {
      FAIL() << "disagreement on " << testing::PrintToString(text);
    }
    if (!serialiser_accepts(RepairUtf8(text))) {
      FAIL() << "repair rejected for " << testing::PrintToString(text);
    }
  }
  EXPECT_GT(texts.size(), 100000u);
}

}  // namespace
}  // namespace brumo
