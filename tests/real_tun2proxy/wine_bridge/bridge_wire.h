// What tun2proxy_bridge.dll (Windows, under Wine) and tun2proxy-bridge (Linux, over the real
// library) say to each other on loopback TCP. One connection per call; every request and
// reply is lines of text, each ending in LF:
//
//   log <null|set>                          reply: 0
//   stop                                    reply: tun2proxy_stop's value
//   run + six lines: proxy_url, tun, bypass, dns_strategy, root_privilege (0|1), verbosity
//                                           reply: the run call's value, once it returned
//
// The client keeps its side open while a run lasts: the bridge takes the end of a run
// connection before the reply (its caller is gone) for a stop. Platform-free, shared by both
// ends.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/standins/tun2proxy/tun2proxy_standin.h"

namespace brumo::t2p_bridge {

// Fixed: a service started by the service manager does not get its tester's environment.
// Each test runs in a network namespace of its own, whose loopback is its own too.
inline constexpr std::uint16_t kPort = 12736;

// Longest request the bridge reads; real requests are well under 1 KiB.
inline constexpr std::size_t kMaxRequest = 4096;

using RunRequest = tun2proxy_standin::RunArgs;

// The run request's text; nullopt when a text holds a line end and cannot be carried.
inline std::optional<std::string> EncodeRun(const RunRequest& run) {
  for (std::string_view text : {run.proxy_url, run.tun, run.bypass}) {
    if (text.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  }
  return "run\n" + run.proxy_url + "\n" + run.tun + "\n" + run.bypass + "\n" +
         std::to_string(run.dns_strategy) + "\n" + (run.root_privilege ? "1" : "0") + "\n" +
         std::to_string(run.verbosity) + "\n";
}

// The complete lines at the start of `text` (each without its LF); a rest without LF is
// left out.
inline std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;) {
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

inline std::optional<int> ParseInt(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || text.empty()) return std::nullopt;
  return value;
}

// How many lines a request that starts with `verb` has, 0 for an unknown verb.
inline std::size_t RequestLines(std::string_view verb) {
  if (verb == "run") return 7;
  return verb == "log null" || verb == "log set" || verb == "stop" ? 1 : 0;
}

// The run request of seven lines (the verb first); nullopt when a number is not one.
inline std::optional<RunRequest> DecodeRun(const std::vector<std::string>& lines) {
  if (lines.size() != 7 || lines[0] != "run") return std::nullopt;
  const std::optional<int> dns = ParseInt(lines[4]);
  const std::optional<int> verbosity = ParseInt(lines[6]);
  if (!dns || !verbosity || (lines[5] != "0" && lines[5] != "1")) return std::nullopt;
  return RunRequest{lines[1], lines[2], lines[3], *dns, lines[5] == "1", *verbosity};
}

}  // namespace brumo::t2p_bridge
