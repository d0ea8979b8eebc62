// Support of the end-to-end tests that only they need: the TUN device, which the
// Linux-side wrapper (run_e2e.sh) creates and deletes on request. The service entry, the
// pipe client and the stand-ins' logs are in tests/support.
//
// Wine ends its services when the last ordinary Wine process exits, so one long-lived
// test program holds the service for all cases. Nothing here is thread-safe.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace brumo::e2e {

inline constexpr wchar_t kTunDevice[] = L"brumotun";

// The TUN device "brumotun". A Windows program cannot create one, so requests go through
// files to the wrapper that started this program (run_e2e.sh), which runs `ip` as root.
class TunDevice {
 public:
  // Reads the wrapper's settings from the environment: BRUMO_E2E_DEVICE_CONTROL ("yes", or
  // why the device cannot be changed) and BRUMO_E2E_REQUESTS (the request folder).
  TunDevice();

  bool controllable() const { return why_not_.empty(); }
  // Why the device cannot be created or deleted here; empty when it can.
  const std::string& why_not() const { return why_not_; }

  // The index Wine's ConvertInterfaceAliasToLuid/ConvertInterfaceLuidToIndex give the
  // device, or 0 when Wine does not resolve the alias.
  static std::uint32_t WineIndex();

  // Has the wrapper create the device and waits until Wine resolves it. Empty on success,
  // else what went wrong.
  std::string Create();
  // Has the wrapper delete the device. Wine may still resolve it afterwards: its interface
  // table keeps every interface it has seen for the rest of the Wine session.
  std::string Delete();

 private:
  std::string Request(const char* verb);

  std::wstring folder_;
  std::string why_not_;
  int next_request_ = 1;
};

// `text` without its trailing CR and LF bytes.
std::string WithoutLineEnd(std::string text);

}  // namespace brumo::e2e
