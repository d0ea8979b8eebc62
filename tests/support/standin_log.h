// The one reader of the stand-ins' call logs: tun2proxy.log of the stand-in tun2proxy (one
// line per call, see tests/standins/tun2proxy/README.md) and fwpuclnt.log of the stand-in
// fwpuclnt.dll (one JSON object per line, see tests/standins/fwpuclnt_dll/README.md).
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brumo::test_support {

using FwpCall = nlohmann::json;  // one line of fwpuclnt.log

// The complete lines of `text`, without their LF: a last line still being written has no
// LF yet and is left out.
std::vector<std::string> CompleteLines(std::string_view text);
// Each line parsed; one that is not JSON is a discarded value.
std::vector<FwpCall> ParseFwpLines(const std::vector<std::string>& lines);

// What the calls leave in the engine: the live state of each process's last line, summed
// ("engines", "transactions", "sublayers", "filters"), and the filter adds and deletions
// that succeeded ("added", "deleted").
nlohmann::json EngineLeft(const std::vector<FwpCall>& calls);
// Whether `left` (of EngineLeft) has no engine, transaction, sublayer or filter.
bool NothingLeft(const nlohmann::json& left);

// One line of either log, for people: an fwpuclnt.log line becomes a summary such as
// "FwpmFilterAdd0 id 3: permit "BrumoVPN DNS allow (UDP/53)" IPv4, only on interface 7";
// any other line is returned as it is.
std::string Readable(std::string_view line);

// The whole file, shared with its writers; empty when it cannot be opened.
std::string ReadWholeFile(const std::wstring& path);
// EngineLeft of a whole fwpuclnt.log; a log that does not exist is empty.
nlohmann::json ReadEngineLeft(const std::wstring& log_path);

// tun2proxy.log (written only while it exists) and fwpuclnt.log in one folder.
class StandinLogs {
 public:
  // `folder` ends in a backslash.
  explicit StandinLogs(std::wstring folder);

  // Creates an empty tun2proxy.log unless there is one; true when it exists afterwards.
  bool EnableTun2proxyLog() const;
  // Later reads return only what was appended after this call.
  void Mark();
  std::vector<std::string> Tun2proxyLines() const;
  std::vector<FwpCall> FwpCalls() const;

  std::wstring Tun2proxyPath() const { return folder_ + L"tun2proxy.log"; }
  std::wstring FwpPath() const { return folder_ + L"fwpuclnt.log"; }

 private:
  std::wstring folder_;
  std::size_t tun2proxy_mark_ = 0;
  std::size_t fwp_mark_ = 0;
};

}  // namespace brumo::test_support
