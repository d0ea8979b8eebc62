// Request bytes to reply bytes, through a real controller and its real guard over the
// stand-ins; the virtual clock makes a "start" cost no launch check in real time.
#include "control/command_protocol.h"

#include <cstddef>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "dnsguard/dns_leak_guard.h"
#include "tests/control/reply_check.h"
#include "tests/standins/standins.h"
#include "tests/support/test_support.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using namespace std::string_literals;
namespace t2p = tun2proxy_standin;
namespace engine = wfp_standin;

using namespace test_support;
constexpr char kMissing[] = R"({"message":"Missing 'command' field","status":"error"})";
// One wording for an empty request, whichever version of the JSON library is built in.
constexpr char kEmptyInput[] =
    R"({"message":"JSON parse error: [json.exception.parse_error.101] parse error at line 1, )"
    R"(column 1: attempting to parse an empty input; check that your input string or stream )"
    R"(contains the expected JSON","status":"error"})";

// The library's syntax error at `at` ("line L, column C") while parsing `detail`.
std::string ParseError(const std::string& at, const std::string& detail) {
  return R"({"message":"JSON parse error: [json.exception.parse_error.101] parse error at )" + at +
         ": syntax error while parsing " + detail + R"(","status":"error"})";
}

std::string Error(const std::string& message) {
  return R"({"message":")" + message + R"(","status":"error"})";
}

// Nothing reached the controller's work: no launch, no tunnel library call.
void ExpectControllerUntouched() {
  EXPECT_EQ(platform_standin::LaunchCalls(), 0);
  EXPECT_TRUE(t2p::Recorded().calls.empty());
}

// A controller of its own over stand-ins of its own, stopped.
struct Fresh {
  const standins::Scope standins;
  DnsLeakGuard guard;
  TunnelController controller{&guard};
};

class CommandProtocolTest : public ::testing::Test {
 protected:
  std::string Process(std::string_view request) {
    return ProcessRequest(request, fresh_.controller);
  }

  Fresh fresh_;
};

using Arrange = std::function<void(TunnelController&)>;

struct Case {
  const char* name;
  std::string request;
  std::string reply;
  Arrange arrange = nullptr;  // sets up the stand-ins and the controller first
};

// Runs each case on a fresh, stopped controller and expects the exact, well-formed reply
// bytes, no exception, no tunnel left from a "start", and a "stop" served as usual after it.
// Requests that do not reach a handler must not touch the controller at all.
void RunTable(const std::vector<Case>& cases, bool handled) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh fresh;
    if (c.arrange) c.arrange(fresh.controller);
    std::string reply;
    EXPECT_NO_THROW(reply = ProcessRequest(c.request, fresh.controller));
    EXPECT_EQ(reply, c.reply);
    EXPECT_STREQ(ReplyFault(reply), nullptr) << reply;
    if (!handled) ExpectControllerUntouched();
    EXPECT_FALSE(c.request == kStartRequest && fresh.controller.IsRunning());
    engine::SetHook(nullptr);
    t2p::SetStopHook(nullptr);
    interfaces_standin::SetLookupHook(nullptr);
    EXPECT_EQ(ProcessRequest(kStopRequest, fresh.controller), kStoppedReply);
    EXPECT_FALSE(fresh.controller.IsRunning());
  }
}

// One controller through every command in both states: each reply, the running state, the
// tun2proxy run and stop calls so far, and the filters, in place exactly while the tunnel runs.
TEST_F(CommandProtocolTest, CommandsWalkTheTunnelStates) {
  const struct {
    std::string_view request;
    std::string_view reply;
    bool running;
    int runs;
    int stops;
  } steps[] = {
      {kActiveRequest, kInactiveReply, false, 0, 0},
      {kStopRequest, kStoppedReply, false, 0, 0},
      {kStartRequest, kStartedReply, true, 1, 0},
      {kStartRequest, kAlreadyRunningReply, true, 1, 0},
      {kActiveRequest, kActiveReply, true, 1, 0},
      {kStopRequest, kStoppedReply, false, 1, 1},
      {kActiveRequest, kInactiveReply, false, 1, 1},
      {kStopRequest, kStoppedReply, false, 1, 1},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE("step " + std::to_string(i + 1) + ": " + std::string(steps[i].request));
    EXPECT_EQ(Process(steps[i].request), steps[i].reply);
    EXPECT_EQ(fresh_.controller.IsRunning(), steps[i].running);
    EXPECT_EQ(t2p::Recorded().run_calls, steps[i].runs);
    EXPECT_EQ(t2p::Recorded().stop_calls, steps[i].stops);
    EXPECT_EQ(engine::Recorded().live_filter_ids.size(), steps[i].running ? 12u : 0u);
  }
}

// Requests that reach no handler: unknown commands are echoed, a command of another type and
// a request without one get their error texts.
TEST_F(CommandProtocolTest, RequestsWithoutAKnownCommand) {
  const std::string prefix =
      "JSON parse error: [json.exception.type_error.302] type must be string, but is ";
  RunTable(
      {
          {"wrong case", R"({"command":"Start"})", Error("Unknown command: Start")},
          {"upper case", R"({"command":"STOP"})", Error("Unknown command: STOP")},
          {"empty", R"({"command":""})", Error("Unknown command: ")},
          {"leading space", R"({"command":" stop"})", Error("Unknown command:  stop")},
          {"trailing space", R"({"command":"active "})", Error("Unknown command: active ")},
          {"prefix", R"({"command":"star"})", Error("Unknown command: star")},
          {"longer", R"({"command":"started"})", Error("Unknown command: started")},
          {"non-ASCII raw", "{\"command\":\"st\xC3\xB6p \xE6\x9C\x8D\xF0\x9F\x98\x80\"}",
           Error("Unknown command: st\xC3\xB6p \xE6\x9C\x8D\xF0\x9F\x98\x80")},
          {"non-ASCII escaped", R"({"command":"\u00e9\ud83d\ude00"})",
           Error("Unknown command: \xC3\xA9\xF0\x9F\x98\x80")},
          {"escaped NUL inside", R"({"command":"start\u0000"})",
           Error(R"(Unknown command: start\u0000)")},
          {"quote and backslash", R"({"command":"a\"b\\c\/d"})",
           Error(R"(Unknown command: a\"b\\c/d)")},
          {"control characters", R"({"command":"\n\t\u001f\u007f"})",
           Error("Unknown command: \\n\\t\\u001f\x7F")},
          // A command of another type is the library's type error 302.
          {"number", R"({"command":5})", Error(prefix + "number")},
          {"float", R"({"command":1.5})", Error(prefix + "number")},
          {"null", R"({"command":null})", Error(prefix + "null")},
          {"boolean", R"({"command":true})", Error(prefix + "boolean")},
          {"array", R"({"command":["stop"]})", Error(prefix + "array")},
          {"object", R"({"command":{"command":"stop"}})", Error(prefix + "object")},
          // No "command" member.
          {"empty object", "{}", kMissing},
          {"array", "[]", kMissing},
          {"array holding a request", R"([{"command":"stop"}])", kMissing},
          {"bare string", R"("stop")", kMissing},
          {"number", "5", kMissing},
          {"null", "null", kMissing},
          {"other key", R"({"cmd":"stop"})", kMissing},
          {"key differs in case", R"({"Command":"stop"})", kMissing},
          {"command nested", R"({"request":{"command":"stop"}})", kMissing},
      },
      /*handled=*/false);
}

TEST_F(CommandProtocolTest, AcceptedFramingsOfStop) {
  const std::string stopped(kStoppedReply);
  RunTable(
      {
          {"extra members of every type",
           R"({"a":1,"command":"stop","b":[null,true,{"c":"start"}],"d":-2.5e3,"e":""})", stopped},
          {"CR LF", "{\"command\":\"stop\"}\r\n", stopped},
          {"several LF", "{\"command\":\"stop\"}\n\n\n", stopped},
          {"CR and LF mixed", "{\"command\":\"stop\"}\r\r\n\n\r", stopped},
          {"whitespace around", " \t\r\n{ \"command\" : \"stop\" }\t \r\n", stopped},
          // The library reads a NUL byte as the end of the text, so a C client's
          // terminating NUL (and whatever follows it) is ignored.
          {"terminating NUL", "{\"command\":\"stop\"}\0"s, stopped},
          {"bytes after a NUL", "{\"command\":\"stop\"}\0garbage\xFF"s, stopped},
      },
      /*handled=*/true);
}

TEST_F(CommandProtocolTest, MalformedRequestsGetTheLibraryText) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string first_byte =
      ParseError("line 1, column 1", "value - invalid literal; last read: '" + fffd + "'");
  RunTable(
      {
          {"empty", "", kEmptyInput},
          {"CR LF only", "\r\n", kEmptyInput},
          {"CR and LF only", "\n\r\n\r\r", kEmptyInput},
          // Not empty: the library reads the NUL as the end of its input.
          {"NUL only", "\0"s,
           ParseError("line 1, column 1",
                      "value - unexpected end of input; expected '[', '{', or a literal")},
          {"only whitespace", " \t",
           ParseError("line 1, column 3",
                      "value - unexpected end of input; expected '[', '{', or a literal")},
          {"trailing comma", R"({"command":"stop",})",
           ParseError("line 1, column 19", "object key - unexpected '}'; expected string literal")},
          {"trailing comma in array", R"({"command":"stop","x":[1,]})",
           ParseError("line 1, column 26",
                      "value - unexpected ']'; expected '[', '{', or a literal")},
          {"block comment", R"({"command":"stop" /* c */})",
           ParseError("line 1, column 19",
                      "object - invalid literal; last read: '\\\"stop\\\" /'; expected '}'")},
          {"line comment after", "{\"command\":\"stop\"} // c",
           ParseError("line 1, column 20",
                      "value - invalid literal; last read: '\\\"stop\\\"} /'; expected "
                      "end of input")},
          {"two objects", R"({"command":"stop"}{"command":"stop"})",
           ParseError("line 1, column 19", "value - unexpected '{'; expected end of input")},
          {"unterminated", R"({"command":"stop")",
           ParseError("line 1, column 18", "object - unexpected end of input; expected '}'")},
          {"CR LF in the middle", "{\"command\":\"stop\"}\r\nx",
           ParseError("line 2, column 1",
                      "value - invalid literal; last read: "
                      "'\\\"stop\\\"}<U+000D><U+000A>x'; expected end of input")},
          {"NUL inside a string", "{\"command\":\"st\0op\"}"s,
           ParseError("line 1, column 15",
                      "value - invalid string: control character U+0000 (NUL) must be "
                      "escaped to \\\\u0000; last read: '\\\"st<U+0000>'")},
          {"lone surrogate escape", R"({"command":"\ud800"})",
           ParseError("line 1, column 19",
                      "value - invalid string: surrogate U+D800..U+DBFF must be followed "
                      "by U+DC00..U+DFFF; last read: '\\\"\\\\ud800\\\"'")},
          // The library's parse errors quote raw request bytes; ill-formed pieces become
          // U+FFFD and the rest of its text stays as it was.
          {"lone 0xFF", "\xFF", first_byte},
          {"valid character where a value begins (cut to its lead byte)", "\xC3\xA9", first_byte},
          {"4-byte character where a value begins", "\xF0\x9F\x98\x80", first_byte},
          {"after the member name", "{\"command\":\xE2\x82\xAC}",
           ParseError("line 1, column 12",
                      "value - invalid literal; last read: '\\\"command\\\":" + fffd + "'")},
          {"truncated sequence in the command", "{\"command\":\"\xC3\"}",
           ParseError(
               "line 1, column 14",
               "value - invalid string: ill-formed UTF-8 byte; last read: '\\\"" + fffd + "\\\"'")},
          {"overlong form in the command", "{\"command\":\"\xC0\xAF\"}",
           ParseError(
               "line 1, column 13",
               "value - invalid string: ill-formed UTF-8 byte; last read: '\\\"" + fffd + "'")},
          {"encoded surrogate in the command", "{\"command\":\"\xED\xA0\x80\"}",
           ParseError("line 1, column 14",
                      "value - invalid string: ill-formed UTF-8 byte; last read: '\\\"" + fffd +
                          fffd + "'")},
          {"in a key", "{\"\xFE\":1}",
           ParseError("line 1, column 3",
                      "object key - invalid string: ill-formed UTF-8 byte; last read: '\\\"" +
                          fffd + "'; expected string literal")},
          {"after the object", "{\"command\":\"stop\"}\xFF",
           ParseError("line 1, column 19", "value - invalid literal; last read: '\\\"stop\\\"}" +
                                               fffd + "'; expected end of input")},
          {"valid non-ASCII kept beside the error", "{\"command\":\"st\xC3\xB6p\x01\"}",
           ParseError("line 1, column 18",
                      "value - invalid string: control character U+0001 (SOH) must be "
                      "escaped to \\\\u0001; last read: '\\\"st\xC3\xB6p<U+0001>'")},
      },
      /*handled=*/false);
  // The server keeps serving after them.
  EXPECT_EQ(Process(kStartRequest), kStartedReply);
}

// Failures under the controller: exceptions (a worker that cannot be created, anything thrown
// from the layers under it by the stand-ins' hooks while it starts or stops) become internal
// errors, and its failure texts (its own, the guard's, the interface lookup's) reach the
// reply unchanged when valid UTF-8, repaired when not. The next request is served as usual.
TEST_F(CommandProtocolTest, ControllerFailuresBecomeErrorReplies) {
  const std::system_error eagain_error(
      std::make_error_code(std::errc::resource_unavailable_try_again));
  const std::string eagain = eagain_error.what();
  const std::string bad_alloc = std::bad_alloc().what();
  const std::string resolve = "Failed to resolve tunnel interface 'brumotun': ";
  const std::string waited = " (waited 4000ms)";
  // Throws from the engine's third filter add, or from the first tun2proxy_stop.
  const auto in_guard = [](std::function<void()> raise) -> Arrange {
    return [raise](TunnelController&) {
      engine::SetHook([raise](engine::Op op, int nth) {
        if (op == engine::Op::kAddFilter && nth == 3) raise();
      });
    };
  };
  const auto in_stop = [](std::function<void()> raise) -> Arrange {
    return [raise](TunnelController& controller) {
      ASSERT_TRUE(controller.Start().ok);
      t2p::SetStopHook(raise);
    };
  };
  // Every lookup of the adapter fails with `text`.
  const auto lookup_fails = [](std::string text) -> Arrange {
    return [text](TunnelController&) {
      interfaces_standin::SetLookupHook([text](std::string_view) {
        return std::optional<InterfaceIndexResult>(InterfaceIndexResult{0, text, false});
      });
    };
  };
  const std::string start(kStartRequest), stop(kStopRequest);
  const std::string raw = std::string("Schnittstelle \xC2\xBB") + "brumotun\xC2\xAB";
  RunTable(
      {
          {"start: thread cannot be created", start, Error("Internal error: " + eagain),
           [](TunnelController&) { platform_standin::FailNextLaunch(); }},
          {"start: out of memory in the guard", start, Error("Internal error: " + bad_alloc),
           in_guard([] { throw std::bad_alloc(); })},
          {"start: not a std::exception", start, Error("Internal error: unknown exception"),
           in_guard([] { throw 42; })},
          {"stop: system error", stop, Error("Internal error: " + eagain),
           in_stop([&] { throw eagain_error; })},
          {"stop: not a std::exception", stop, Error("Internal error: unknown exception"),
           in_stop([] { throw 42; })},
          // On the real clock: the worker must get the launch check's time to end in.
          {"tunnel ended at once", start, Error("tun2proxy thread exited prematurely"),
           [](TunnelController&) {
             platform_standin::UseVirtualClock(false);
             t2p::SetRunMode(t2p::RunMode::kReturn);
           }},
          {"engine refused", start, Error("FwpmEngineOpen0 failed: 5"),
           [](TunnelController&) { engine::FailAt(engine::Op::kOpenEngine, 1, 5); }},
          {"text needing escapes", start, Error(resolve + "a \\\"b\\\"\\\\\\n" + waited),
           lookup_fails("a \"b\"\\\n")},
          {"raw UTF-8 text", start, Error(resolve + raw + waited), lookup_fails(raw)},
          {"invalid UTF-8 text", start,
           Error(resolve + "code page \xEF\xBF\xBD text\xEF\xBF\xBD" + waited),
           lookup_fails("code page \xE4 text\xC3")},
      },
      /*handled=*/true);
}

TEST_F(CommandProtocolTest, LargeAndDeepRequests) {
  // The largest request one read can deliver, all of it the command.
  const std::string long_command(65535 - 14, 'x');
  const std::string long_request = R"({"command":")" + long_command + R"("})";
  ASSERT_EQ(long_request.size(), 65535u);
  EXPECT_EQ(Process(long_request), Error("Unknown command: " + long_command));

  // Deep nesting is parsed without recursion; a value nested 100,000 deep must be parsed and
  // destroyed without exhausting the stack.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(Process(deep), kMissing);
  std::string deep_objects;
  for (int i = 0; i < 20000; ++i) deep_objects += R"({"a":)";
  EXPECT_EQ(Process(deep_objects + "1" + std::string(20000, '}')), kMissing);

  EXPECT_EQ(Process(std::string(65535, '[')),
            ParseError("line 1, column 65536",
                       "value - "
                       "unexpected end of input; expected '[', '{', or a literal"));
}

// Every one-byte request, and every two-byte request that opens a value or a string or
// starts with a UTF-8 lead byte (the ones the library quotes back), gets a well-formed reply
// and none of them reaches the controller.
TEST_F(CommandProtocolTest, EveryShortRequestGetsAWellFormedReply) {
  for (int first = 0; first < 256; ++first) {
    const bool pairs = first == '"' || first == '[' || first == '{' || first >= 0xC0;
    // second == 256: the one-byte request.
    for (int second = pairs ? 0 : 256; second <= 256; ++second) {
      std::string request(1, static_cast<char>(first));
      if (second < 256) request += static_cast<char>(second);
      const std::string reply = Process(request);
      if (const char* fault = ReplyFault(reply)) {
        FAIL() << fault << ": " << testing::PrintToString(request) << ": " << reply;
      }
    }
  }
  ExpectControllerUntouched();
}

}  // namespace
}  // namespace brumo
