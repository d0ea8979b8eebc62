// Request bytes to reply bytes, against the stand-in controller.
#include <cstddef>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "control/control_pipe_server.h"
#include "control/utf8_repair.h"
#include "tests/fakes/controller/fake_controller.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using namespace std::string_literals;
namespace fc = fake_controller;

constexpr char kStarted[] = R"({"message":"VPN started successfully","status":"ok"})";
constexpr char kStopped[] = R"({"message":"VPN stopped successfully","status":"ok"})";
constexpr char kActive[] = R"({"message":"active","running":true,"status":"ok"})";
constexpr char kInactive[] = R"({"message":"inactive","running":false,"status":"ok"})";
constexpr char kMissing[] = R"({"message":"Missing 'command' field","status":"error"})";
constexpr char kEmptyInput[] =
    R"({"message":"JSON parse error: [json.exception.parse_error.101] parse error at line 1, )"
    R"(column 1: syntax error while parsing value - unexpected end of input; expected '[', '{', )"
    R"(or a literal","status":"error"})";

std::string ParseError(const std::string& detail) {
  return R"({"message":"JSON parse error: [json.exception.parse_error.101] parse error at )" +
         detail + R"(","status":"error"})";
}

std::string Error(const std::string& message) {
  return R"({"message":")" + message + R"(","status":"error"})";
}

// Checks what every reply must be, whatever the request: one JSON object in valid UTF-8 with
// "status" "ok" or "error" and a string "message".
void ExpectWellFormedReply(const std::string& reply) {
  ASSERT_TRUE(IsValidUtf8(reply)) << reply;
  const auto parsed = nlohmann::json::parse(reply, nullptr, false);
  ASSERT_TRUE(parsed.is_object()) << reply;
  ASSERT_TRUE(parsed.contains("status") && parsed["status"].is_string()) << reply;
  const auto status = parsed["status"].get<std::string>();
  EXPECT_TRUE(status == "ok" || status == "error") << reply;
  ASSERT_TRUE(parsed.contains("message") && parsed["message"].is_string()) << reply;
}

class CommandProtocolTest : public ::testing::Test {
 protected:
  CommandProtocolTest() { fc::Reset(); }
  ~CommandProtocolTest() override { fc::Reset(); }

  TunnelController controller_{nullptr};
  ControlPipeServer server_{&controller_};
};

struct Case {
  const char* name;
  std::string request;
  std::string reply;
};

// Runs each case on a fresh, stopped controller and expects the exact reply bytes. Requests
// that do not reach a handler must not touch the controller at all.
void RunTable(ControlPipeServer& server, const std::vector<Case>& cases, bool handled) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fc::Reset();
    const std::string reply = server.ProcessRequest(c.request);
    EXPECT_EQ(reply, c.reply);
    ExpectWellFormedReply(reply);
    if (!handled) {
      const fc::Calls calls = fc::GetCalls();
      EXPECT_EQ(calls.start + calls.stop + calls.get_status + calls.is_running, 0);
    }
  }
}

TEST_F(CommandProtocolTest, CommandsAgainstTunnelState) {
  struct StateCase {
    const char* name;
    bool running_before;
    const char* request;
    const char* reply;
    bool running_after;
    fc::Calls calls;  // start, stop and get_status; the others stay zero
  };
  const StateCase cases[] = {
      {"start while down", false, R"({"command":"start"})", kStarted, true, {0, 0, 1, 0, 0, 0}},
      {"start while running",
       true,
       R"({"command":"start"})",
       R"({"message":"VPN already running","status":"error"})",
       true,
       {0, 0, 1, 0, 0, 0}},
      {"stop while running", true, R"({"command":"stop"})", kStopped, false, {0, 0, 0, 1, 0, 0}},
      {"stop while down", false, R"({"command":"stop"})", kStopped, false, {0, 0, 0, 1, 0, 0}},
      {"active while running", true, R"({"command":"active"})", kActive, true, {0, 0, 0, 0, 0, 1}},
      {"active while down", false, R"({"command":"active"})", kInactive, false, {0, 0, 0, 0, 0, 1}},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.name);
    fc::Reset();
    fc::SetRunning(c.running_before);
    EXPECT_EQ(server_.ProcessRequest(c.request), c.reply);
    EXPECT_EQ(fc::Running(), c.running_after);
    const fc::Calls calls = fc::GetCalls();
    EXPECT_EQ(calls.start, c.calls.start);
    EXPECT_EQ(calls.stop, c.calls.stop);
    EXPECT_EQ(calls.get_status, c.calls.get_status);
    EXPECT_EQ(calls.is_running, 0);
  }
}

TEST_F(CommandProtocolTest, SessionOfRequestsFollowsTheController) {
  EXPECT_EQ(server_.ProcessRequest(R"({"command":"active"})"), kInactive);
  EXPECT_EQ(server_.ProcessRequest(R"({"command":"start"})"), kStarted);
  EXPECT_EQ(server_.ProcessRequest(R"({"command":"start"})"),
            R"({"message":"VPN already running","status":"error"})");
  EXPECT_EQ(server_.ProcessRequest(R"({"command":"active"})"), kActive);
  EXPECT_EQ(server_.ProcessRequest(R"({"command":"stop"})"), kStopped);
  EXPECT_EQ(server_.ProcessRequest(R"({"command":"active"})"), kInactive);
  EXPECT_EQ(server_.ProcessRequest(R"({"command":"stop"})"), kStopped);
  EXPECT_EQ(fc::GetCalls().start, 2);
  EXPECT_EQ(fc::GetCalls().stop, 2);
}

TEST_F(CommandProtocolTest, UnknownCommandsAreEchoed) {
  RunTable(server_,
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
           },
           /*handled=*/false);
}

TEST_F(CommandProtocolTest, CommandOfAnotherTypeIsTypeError302) {
  const std::string prefix =
      "JSON parse error: [json.exception.type_error.302] type must be string, but is ";
  RunTable(server_,
           {
               {"number", R"({"command":5})", Error(prefix + "number")},
               {"float", R"({"command":1.5})", Error(prefix + "number")},
               {"null", R"({"command":null})", Error(prefix + "null")},
               {"boolean", R"({"command":true})", Error(prefix + "boolean")},
               {"array", R"({"command":["stop"]})", Error(prefix + "array")},
               {"object", R"({"command":{"command":"stop"}})", Error(prefix + "object")},
           },
           /*handled=*/false);
}

TEST_F(CommandProtocolTest, RequestsWithoutCommandMember) {
  RunTable(server_,
           {
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
  RunTable(
      server_,
      {
          {"extra members of every type",
           R"({"a":1,"command":"stop","b":[null,true,{"c":"start"}],"d":-2.5e3,"e":""})", kStopped},
          {"CR LF", "{\"command\":\"stop\"}\r\n", kStopped},
          {"several LF", "{\"command\":\"stop\"}\n\n\n", kStopped},
          {"CR and LF mixed", "{\"command\":\"stop\"}\r\r\n\n\r", kStopped},
          {"whitespace around", " \t\r\n{ \"command\" : \"stop\" }\t \r\n", kStopped},
          // The library reads a NUL byte as the end of the text, so a C client's
          // terminating NUL (and whatever follows it) is ignored.
          {"terminating NUL", "{\"command\":\"stop\"}\0"s, kStopped},
          {"bytes after a NUL", "{\"command\":\"stop\"}\0garbage\xFF"s, kStopped},
      },
      /*handled=*/true);
}

TEST_F(CommandProtocolTest, MalformedRequestsGetTheLibraryText) {
  RunTable(
      server_,
      {
          {"empty", "", kEmptyInput},
          {"CR LF only", "\r\n", kEmptyInput},
          {"CR and LF only", "\n\r\n\r\r", kEmptyInput},
          {"NUL only", "\0"s, kEmptyInput},
          {"only whitespace", " \t",
           ParseError("line 1, column 3: syntax error while parsing value "
                      "- unexpected end of input; expected '[', '{', or "
                      "a literal")},
          {"trailing comma", R"({"command":"stop",})",
           ParseError("line 1, column 19: syntax error while parsing object key - unexpected "
                      "'}'; expected string literal")},
          {"trailing comma in array", R"({"command":"stop","x":[1,]})",
           ParseError("line 1, column 26: syntax error while parsing value - unexpected ']'; "
                      "expected '[', '{', or a literal")},
          {"block comment", R"({"command":"stop" /* c */})",
           ParseError("line 1, column 19: syntax error while parsing object - invalid literal; "
                      "last read: '\\\"stop\\\" /'; expected '}'")},
          {"line comment after", "{\"command\":\"stop\"} // c",
           ParseError("line 1, column 20: syntax error while parsing value - invalid literal; "
                      "last read: '\\\"stop\\\"} /'; expected end of input")},
          {"two objects", R"({"command":"stop"}{"command":"stop"})",
           ParseError("line 1, column 19: syntax error while parsing value - unexpected '{'; "
                      "expected end of input")},
          {"unterminated", R"({"command":"stop")",
           ParseError("line 1, column 18: syntax error while parsing object - unexpected end of "
                      "input; expected '}'")},
          {"CR LF in the middle", "{\"command\":\"stop\"}\r\nx",
           ParseError("line 2, column 1: syntax error while parsing value - invalid literal; "
                      "last read: '\\\"stop\\\"}<U+000D><U+000A>x'; expected end of input")},
          {"NUL inside a string", "{\"command\":\"st\0op\"}"s,
           ParseError("line 1, column 15: syntax error while parsing value - invalid string: "
                      "control character U+0000 (NUL) must be escaped to \\\\u0000; last read: "
                      "'\\\"st<U+0000>'")},
          {"lone surrogate escape", R"({"command":"\ud800"})",
           ParseError("line 1, column 19: syntax error while parsing value - invalid string: "
                      "surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF; last read: "
                      "'\\\"\\\\ud800\\\"'")},
      },
      /*handled=*/false);
}

// The library's parse errors quote raw request bytes; ill-formed pieces become U+FFFD and
// the rest of its text stays as it was.
TEST_F(CommandProtocolTest, InvalidUtf8IsRepairedInParseErrors) {
  const std::string fffd = "\xEF\xBF\xBD";
  RunTable(
      server_,
      {
          {"lone 0xFF", "\xFF",
           ParseError("line 1, column 1: syntax error while parsing value - invalid literal; "
                      "last read: '" +
                      fffd + "'")},
          {"valid character where a value begins (cut to its lead byte)", "\xC3\xA9",
           ParseError("line 1, column 1: syntax error while parsing value - invalid literal; "
                      "last read: '" +
                      fffd + "'")},
          {"4-byte character where a value begins", "\xF0\x9F\x98\x80",
           ParseError("line 1, column 1: syntax error while parsing value - invalid literal; "
                      "last read: '" +
                      fffd + "'")},
          {"after the member name", "{\"command\":\xE2\x82\xAC}",
           ParseError("line 1, column 12: syntax error while parsing value - invalid literal; "
                      "last read: '\\\"command\\\":" +
                      fffd + "'")},
          {"truncated sequence in the command", "{\"command\":\"\xC3\"}",
           ParseError("line 1, column 14: syntax error while parsing value - invalid string: "
                      "ill-formed UTF-8 byte; last read: '\\\"" +
                      fffd + "\\\"'")},
          {"overlong form in the command", "{\"command\":\"\xC0\xAF\"}",
           ParseError("line 1, column 13: syntax error while parsing value - invalid string: "
                      "ill-formed UTF-8 byte; last read: '\\\"" +
                      fffd + "'")},
          {"encoded surrogate in the command", "{\"command\":\"\xED\xA0\x80\"}",
           ParseError("line 1, column 14: syntax error while parsing value - invalid string: "
                      "ill-formed UTF-8 byte; last read: '\\\"" +
                      fffd + fffd + "'")},
          {"in a key", "{\"\xFE\":1}",
           ParseError("line 1, column 3: syntax error while parsing object key - invalid "
                      "string: ill-formed UTF-8 byte; last read: '\\\"" +
                      fffd + "'; expected string literal")},
          {"after the object", "{\"command\":\"stop\"}\xFF",
           ParseError("line 1, column 19: syntax error while parsing value - invalid literal; "
                      "last read: '\\\"stop\\\"}" +
                      fffd + "'; expected end of input")},
          {"valid non-ASCII kept beside the error", "{\"command\":\"st\xC3\xB6p\x01\"}",
           ParseError("line 1, column 18: syntax error while parsing value - invalid string: "
                      "control character U+0001 (SOH) must be escaped to \\\\u0001; last read: "
                      "'\\\"st\xC3\xB6p<U+0001>'")},
      },
      /*handled=*/false);
  // The server keeps serving after them.
  EXPECT_EQ(server_.ProcessRequest(R"({"command":"start"})"), kStarted);
}

TEST_F(CommandProtocolTest, ControllerExceptionsBecomeErrorReplies) {
  const std::string eagain =
      std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what();
  const std::string bad_alloc = std::bad_alloc().what();
  struct ThrowCase {
    const char* name;
    const char* request;
    fc::Behaviour behaviour;
    std::string reply;
  };
  auto with = [](fc::Throw start, fc::Throw stop, fc::Throw status) {
    fc::Behaviour b;
    b.start_throws = start;
    b.stop_throws = stop;
    b.status_throws = status;
    return b;
  };
  using T = fc::Throw;
  const ThrowCase cases[] = {
      {"start: thread cannot be created", R"({"command":"start"})",
       with(T::kSystemError, T::kNothing, T::kNothing), Error("Internal error: " + eagain)},
      {"start: out of memory", R"({"command":"start"})",
       with(T::kBadAlloc, T::kNothing, T::kNothing), Error("Internal error: " + bad_alloc)},
      {"start: not a std::exception", R"({"command":"start"})",
       with(T::kNonStd, T::kNothing, T::kNothing), Error("Internal error: unknown exception")},
      {"stop: system error", R"({"command":"stop"})",
       with(T::kNothing, T::kSystemError, T::kNothing), Error("Internal error: " + eagain)},
      {"stop: not a std::exception", R"({"command":"stop"})",
       with(T::kNothing, T::kNonStd, T::kNothing), Error("Internal error: unknown exception")},
      {"active: out of memory", R"({"command":"active"})",
       with(T::kNothing, T::kNothing, T::kBadAlloc), Error("Internal error: " + bad_alloc)},
  };
  for (const ThrowCase& c : cases) {
    SCOPED_TRACE(c.name);
    fc::Reset();
    fc::SetBehaviour(c.behaviour);
    std::string reply;
    EXPECT_NO_THROW(reply = server_.ProcessRequest(c.request));
    EXPECT_EQ(reply, c.reply);
    ExpectWellFormedReply(reply);
    // The next request on the same server is served as usual.
    fc::SetBehaviour(fc::Behaviour());
    EXPECT_EQ(server_.ProcessRequest(R"({"command":"stop"})"), kStopped);
  }
}

TEST_F(CommandProtocolTest, ControllerFailureTextsPassUnchangedWhenValid) {
  struct FailureCase {
    const char* name;
    const char* request;
    std::string text;
    std::string reply;
  };
  const FailureCase cases[] = {
      {"start failure", R"({"command":"start"})", "VPN failed to start: tunnel exited early",
       Error("VPN failed to start: tunnel exited early")},
      {"stop failure", R"({"command":"stop"})", "FwpmEngineOpen0 failed: 5",
       Error("FwpmEngineOpen0 failed: 5")},
      {"empty failure text", R"({"command":"start"})", "", Error("")},
      {"text needing escapes", R"({"command":"stop"})", "a \"b\"\\\n", Error("a \\\"b\\\"\\\\\\n")},
      {"raw UTF-8 text", R"({"command":"start"})",
       "Schnittstelle \xC2\xBB"
       "brumotun\xC2\xAB",
       Error("Schnittstelle \xC2\xBB"
             "brumotun\xC2\xAB")},
      {"invalid UTF-8 text", R"({"command":"stop"})", "code page \xE4 text\xC3",
       Error("code page \xEF\xBF\xBD text\xEF\xBF\xBD")},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    fc::Reset();
    fc::Behaviour b;
    b.start_result = OpResult::Failure(c.text);
    b.stop_result = OpResult::Failure(c.text);
    fc::SetBehaviour(b);
    const std::string reply = server_.ProcessRequest(c.request);
    EXPECT_EQ(reply, c.reply);
    ExpectWellFormedReply(reply);
  }
}

TEST_F(CommandProtocolTest, LargeAndDeepRequests) {
  // The largest request one read can deliver, all of it the command.
  const std::string long_command(65535 - 14, 'x');
  const std::string long_request = R"({"command":")" + long_command + R"("})";
  ASSERT_EQ(long_request.size(), 65535u);
  EXPECT_EQ(server_.ProcessRequest(long_request), Error("Unknown command: " + long_command));

  // Deep nesting is parsed without recursion; a value nested 100,000 deep must be parsed and
  // destroyed without exhausting the stack.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(server_.ProcessRequest(deep), kMissing);
  const std::string deep_objects = [] {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += R"({"a":)";
    text += "1";
    text += std::string(20000, '}');
    return text;
  }();
  EXPECT_EQ(server_.ProcessRequest(deep_objects), kMissing);

  const std::string unclosed(65535, '[');
  const std::string reply = server_.ProcessRequest(unclosed);
  EXPECT_EQ(reply, ParseError("line 1, column 65536: syntax error while parsing value - "
                              "unexpected end of input; expected '[', '{', or a literal"));
}

// Every one-byte request, and every two-byte request that opens a value or a string or
// starts with a UTF-8 lead byte (the ones the library quotes back), gets a well-formed reply
// and none of them reaches the controller.
TEST_F(CommandProtocolTest, EveryShortRequestGetsAWellFormedReply) {
  std::vector<std::string> requests;
  for (int first = 0; first < 256; ++first) {
    requests.push_back(std::string(1, static_cast<char>(first)));
    if (first != '"' && first != '[' && first != '{' && first < 0xC0) continue;
    for (int second = 0; second < 256; ++second) {
      requests.push_back({static_cast<char>(first), static_cast<char>(second)});
    }
  }
  for (const std::string& request : requests) {
    const std::string reply = server_.ProcessRequest(request);
    ExpectWellFormedReply(reply);
    if (testing::Test::HasFailure()) FAIL() << testing::PrintToString(request) << ": " << reply;
  }
  const fc::Calls calls = fc::GetCalls();
  EXPECT_EQ(calls.start + calls.stop + calls.get_status, 0);
}

}  // namespace
}  // namespace brumo
