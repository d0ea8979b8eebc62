// The one reader of the stand-ins' call logs: tun2proxy.log of the stand-in tun2proxy
// (one line per call, see tests/standins/tun2proxy/README.md) and fwpuclnt.log of the
// stand-in fwpuclnt.dll (a function and TAB-separated key=value fields, see
// tests/standins/fwpuclnt_dll/README.md). Parsing only, on every platform; the files
// themselves are read by standin_log_files.h.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace brumo::test_support {

// The complete lines of `text`, without their LF: a last line still being written has no
// LF yet and is left out.
std::vector<std::string> CompleteLines(std::string_view text);

// One line of fwpuclnt.log: the function and its fields.
struct FwpCall {
  std::string function;
  std::map<std::string, std::string> fields;

  // The field's value, or "<missing>" when the line has no such field.
  std::string Field(const std::string& key) const;
};
// A field without "=" gets an empty value; of two fields with one key the last counts.
FwpCall ParseFwpLine(std::string_view line);
std::vector<FwpCall> ParseFwpLines(const std::vector<std::string>& lines);

// What a sequence of calls leaves open once every call is applied in order: engine
// handles, sublayers and filters. Ids and handles count up from 1 in each process, so
// they are matched in log order.
struct FilterLedger {
  long filters_added = 0;
  long filters_deleted = 0;
  long filters_left = 0;
  long sublayers_left = 0;
  long engines_left = 0;
};
FilterLedger Balance(const std::vector<FwpCall>& calls);

// One line of either log, for people: an fwpuclnt.log line becomes a summary such as
// "FwpmFilterAdd0 id 3: permit BrumoVPN DNS allow (UDP/53) IPv4, only on interface 7";
// any other line is returned as it is.
std::string Readable(std::string_view line);

}  // namespace brumo::test_support
