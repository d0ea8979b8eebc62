#include "tests/support/standin_log.h"

#include <windows.h>

#include <fmt/format.h>

#include <map>
#include <utility>

#include "common/scoped_resource_win.h"
#include "tests/standins/wfp/wfp_json.h"

namespace brumo::test_support {
namespace {

using nlohmann::json;

std::vector<std::string> LinesFrom(const std::wstring& path, std::size_t mark) {
  std::vector<std::string> lines = CompleteLines(ReadWholeFile(path));
  if (lines.size() <= mark) return {};
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(mark));
  return lines;
}

}  // namespace

std::vector<std::string> CompleteLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string_view::npos;
       end = text.find('\n', start)) {
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<FwpCall> ParseFwpLines(const std::vector<std::string>& lines) {
  std::vector<FwpCall> calls;
  for (const std::string& line : lines) calls.push_back(json::parse(line, nullptr, false));
  return calls;
}

json EngineLeft(const std::vector<FwpCall>& calls) {
  std::map<long, json> last_live;  // by process
  json left = {{"engines", 0}, {"transactions", 0}, {"sublayers", 0},
               {"filters", 0}, {"added", 0},        {"deleted", 0}};
  const auto add = [&left](const std::string& key, long n) { left[key] = left.value(key, 0L) + n; };
  for (const FwpCall& call : calls) {
    if (!call.is_object()) continue;
    last_live[call.value("pid", 0L)] = call.value("live", json::object());
    if (call.value("status", 1) != 0) continue;
    add("added", call.value("call", "") == "FwpmFilterAdd0");
    add("deleted", call.value("call", "") == "FwpmFilterDeleteById0");
  }
  for (const auto& [pid, live] : last_live) {
    for (const auto& [key, count] : live.items()) add(key, count.get<long>());
  }
  return left;
}

bool NothingLeft(const json& left) {
  return left.value("engines", 1) == 0 && left.value("transactions", 1) == 0 &&
         left.value("sublayers", 1) == 0 && left.value("filters", 1) == 0;
}

std::string Readable(std::string_view line) {
  const json call = json::parse(line, nullptr, false);
  if (!call.is_object() || !call.contains("call")) return std::string(line);
  const std::string function = call.value("call", "");
  std::string text = function;
  if (function == "FwpmEngineOpen0") {
    const json session = call.value("session", json::object());
    text += fmt::format(" session \"{}\"{}", session.value("name", ""),
                        (session.value("flags", 0u) & 1) != 0 ? " (dynamic)" : "");
  } else if (function == "FwpmSubLayerAdd0") {
    const json sublayer = call.value("sublayer", json::object());
    text += fmt::format(" {} \"{}\"", sublayer.value("key", ""), sublayer.value("name", ""));
  } else if (function == "FwpmFilterAdd0") {
    const json filter = call.value("filter", json::object());
    text += fmt::format(
        " id {}: {} \"{}\" {}", call.value("id", 0ull),
        filter.value("action", 0u) == kFwpActionPermit ? "permit" : "block",
        filter.value("name", ""),
        filter.value("layer", "") == GuidText(kFwpmLayerOutboundTransportV4) ? "IPv4" : "IPv6");
    for (const json& condition : filter.value("conditions", json::array())) {
      if (condition.value("field", "") != GuidText(kFwpmConditionInterfaceIndex)) continue;
      text += fmt::format(", only on interface {}",
                          condition.value("value", json::object()).value("value", 0u));
    }
  } else if (function == "FwpmFilterDeleteById0") {
    text += fmt::format(" id {}", call.value("id", 0ull));
  } else if (function == "FwpmSubLayerDeleteByKey0") {
    text += " " + call.value("key", "");
  }
  if (const unsigned status = call.value("status", 0u); status != 0) {
    text += fmt::format(" -> status {}", status);
  }
  return text;
}

std::string ReadWholeFile(const std::wstring& path) {
  std::string text;
  const ScopedFileHandle file(::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return text;
  char buffer[1 << 16];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  return text;
}

json ReadEngineLeft(const std::wstring& log_path) {
  return EngineLeft(ParseFwpLines(CompleteLines(ReadWholeFile(log_path))));
}

StandinLogs::StandinLogs(std::wstring folder) : folder_(std::move(folder)) {}

bool StandinLogs::EnableTun2proxyLog() const {
  const ScopedFileHandle file(::CreateFileW(Tun2proxyPath().c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(file);
}

void StandinLogs::Mark() {
  tun2proxy_mark_ = CompleteLines(ReadWholeFile(Tun2proxyPath())).size();
  fwp_mark_ = CompleteLines(ReadWholeFile(FwpPath())).size();
}

std::vector<std::string> StandinLogs::Tun2proxyLines() const {
  return LinesFrom(Tun2proxyPath(), tun2proxy_mark_);
}

std::vector<FwpCall> StandinLogs::FwpCalls() const {
  return ParseFwpLines(LinesFrom(FwpPath(), fwp_mark_));
}

}  // namespace brumo::test_support
