#include "tests/service/e2e/e2e_support.h"

#include <winsock2.h>
// After winsock2.h, whose address types the interface lookup declarations use.
#include <iphlpapi.h>
#include <netioapi.h>

#include <fmt/format.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "common/utf8_win.h"
#include "tests/support/standin_log.h"
#include "tests/support/test_support.h"

namespace brumo::e2e {
namespace {

// Answers of the wrapper and Wine's view of a changed device.
constexpr auto kDeviceRequestTimeout = std::chrono::seconds(20);
constexpr auto kDeviceVisibleTimeout = std::chrono::seconds(10);

std::string EnvironmentText(const wchar_t* name) {
  wchar_t buffer[1024];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
  if (length == 0 || length >= 1024) return {};
  return Narrow(std::wstring(buffer, length));
}

// Writes `text` to `path` whole: to a temporary name first, then renamed, so that the
// reader never sees half a file.
bool WriteFileAtomically(const std::wstring& path, const std::string& text) {
  const std::filesystem::path temporary = path + L".tmp";
  if (!(std::ofstream(temporary, std::ios::binary) << text).flush()) return false;
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  return !error;
}

}  // namespace

TunDevice::TunDevice() {
  const std::string control = EnvironmentText(L"BRUMO_E2E_DEVICE_CONTROL");
  folder_ = Widen(EnvironmentText(L"BRUMO_E2E_REQUESTS"));
  if (control == "yes" && !folder_.empty()) return;
  why_not_ = control.empty() || control == "yes"
                 ? "not started by run_e2e.sh, which creates and deletes the device"
                 : control;
}

std::uint32_t TunDevice::WineIndex() {
  NET_LUID luid{};
  if (ConvertInterfaceAliasToLuid(kTunDevice, &luid) != NO_ERROR) return 0;
  NET_IFINDEX index = 0;
  if (ConvertInterfaceLuidToIndex(&luid, &index) != NO_ERROR) return 0;
  return index;
}

std::string TunDevice::Create() {
  std::string failure = Request("create");
  if (!failure.empty()) return failure;
  if (!test_support::WaitUntil([] { return WineIndex() != 0; }, kDeviceVisibleTimeout)) {
    return "created, but Wine does not resolve brumotun";
  }
  return {};
}

std::string TunDevice::Delete() { return Request("delete"); }

// The wrapper serves request-1, request-2, ... in turn and answers each with reply-<n>,
// holding "ok" or the reason of the failure.
std::string TunDevice::Request(const char* verb) {
  if (!controllable()) return why_not_;
  const std::wstring number = std::to_wstring(next_request_++);
  const std::wstring request = folder_ + L"\\request-" + number;
  const std::wstring reply = folder_ + L"\\reply-" + number;
  if (!WriteFileAtomically(request, std::string(verb) + " brumotun\n")) {
    return fmt::format("cannot write the request ({})", GetLastError());
  }
  if (!test_support::WaitUntil(
          [&] { return GetFileAttributesW(reply.c_str()) != INVALID_FILE_ATTRIBUTES; },
          kDeviceRequestTimeout)) {
    return fmt::format("run_e2e.sh did not answer \"{}\"", verb);
  }
  const std::string answer = WithoutLineEnd(test_support::ReadWholeFile(reply));
  return answer == "ok" ? std::string() : fmt::format("{} brumotun: {}", verb, answer);
}

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace brumo::e2e
