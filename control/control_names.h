// The names that the service and the clients of its control pipe share: the pipe, its
// buffers and the service's name in the Service Control Manager.
#pragma once

#include <cstddef>

namespace brumo {

inline constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\BrumoVPN";
inline constexpr std::size_t kPipeBufferSize = 65536;

// The most a request may hold: the server reads it in one read of this many bytes, and
// answers for what that read returned.
inline constexpr std::size_t kMaxRequestBytes = kPipeBufferSize - 1;

inline constexpr char kServiceName[] = "BrumoVPN";
inline constexpr wchar_t kServiceNameWide[] = L"BrumoVPN";

}  // namespace brumo
