// The stand-ins' call logs beside one copy of the service, read from their files. Windows
// only; the parsing is standin_log.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/support/standin_log.h"

namespace brumo::test_support {

// The whole file, shared with its writers; empty when it cannot be opened.
std::string ReadWholeFile(const std::wstring& path);

// The balance of a whole fwpuclnt.log (see Balance). A log that does not exist counts as
// empty: the stand-in was never called.
FilterLedger ReadFilterLedger(const std::wstring& log_path);

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
