// The owners of Win32 resources: one alias of ScopedResource per resource kind. Every close
// keeps the thread's last error, so that it never hides the failure that led to it.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include "common/scoped_resource.h"

namespace brumo {
namespace detail {

// A resource that null means none, released by `Release::Free`.
template <typename Release, typename T>
struct NullIsNoneTraits {
  using Value = T;
  static Value Invalid() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept {
    const DWORD saved = ::GetLastError();
    Release::Free(v);
    ::SetLastError(saved);
  }
};

struct HandleTraits : NullIsNoneTraits<HandleTraits, HANDLE> {
  static void Free(HANDLE v) noexcept { ::CloseHandle(v); }
};
// File and pipe handles: both null and INVALID_HANDLE_VALUE mean "no handle".
struct FileHandleTraits : HandleTraits {
  static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
};
struct LocalMemoryTraits : NullIsNoneTraits<LocalMemoryTraits, HLOCAL> {
  static void Free(HLOCAL v) noexcept { ::LocalFree(v); }
};
struct SidTraits : NullIsNoneTraits<SidTraits, PSID> {
  static void Free(PSID v) noexcept { ::FreeSid(v); }
};
struct ServiceHandleTraits : NullIsNoneTraits<ServiceHandleTraits, SC_HANDLE> {
  static void Free(SC_HANDLE v) noexcept { ::CloseServiceHandle(v); }
};

}  // namespace detail

using ScopedHandle = ScopedResource<detail::HandleTraits>;
using ScopedFileHandle = ScopedResource<detail::FileHandleTraits>;
using ScopedLocalMemory = ScopedResource<detail::LocalMemoryTraits>;
using ScopedSid = ScopedResource<detail::SidTraits>;
using ScopedServiceHandle = ScopedResource<detail::ServiceHandleTraits>;

}  // namespace brumo
