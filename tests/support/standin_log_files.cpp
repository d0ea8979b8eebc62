#include "tests/support/standin_log_files.h"

#include <windows.h>

#include <utility>

#include "common/scoped_resource.h"

namespace brumo::test_support {
namespace {

std::vector<std::string> LinesFrom(const std::wstring& path, std::size_t mark) {
  std::vector<std::string> lines = CompleteLines(ReadWholeFile(path));
  if (lines.size() <= mark) return {};
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(mark));
  return lines;
}

}  // namespace

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

FilterLedger ReadFilterLedger(const std::wstring& log_path) {
  return Balance(ParseFwpLines(CompleteLines(ReadWholeFile(log_path))));
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
