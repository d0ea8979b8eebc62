// Owners of platform resources: one move-only template over a small traits type, and
// one alias per resource kind. Every ownership rule of the code base lives here.
//
// A traits type provides:
//   using Value = ...;                      the raw resource type
//   static Value Invalid() noexcept;        the value that means "none"
//   static bool IsValid(Value) noexcept;    whether a value must be closed
//   static void Close(Value) noexcept;      releases a valid value; never throws
#pragma once

#include <cstdint>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#include <winsvc.h>
#endif

namespace brumo {

template <typename Traits>
class ScopedResource {
 public:
  using Value = typename Traits::Value;

  ScopedResource() noexcept = default;
  explicit ScopedResource(Value value) noexcept : value_(value) {}
  ~ScopedResource() { reset(); }

  ScopedResource(ScopedResource&& other) noexcept : value_(other.release()) {}
  ScopedResource& operator=(ScopedResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedResource(const ScopedResource&) = delete;
  ScopedResource& operator=(const ScopedResource&) = delete;

  Value get() const noexcept { return value_; }

  // Closes the current value and hands out the slot for an out-parameter.
  Value* put() noexcept {
    reset();
    return &value_;
  }

  [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::Invalid()); }

  void reset(Value value = Traits::Invalid()) noexcept {
    Value old = std::exchange(value_, value);
    if (Traits::IsValid(old)) Traits::Close(old);
  }

  explicit operator bool() const noexcept { return Traits::IsValid(value_); }

 private:
  Value value_ = Traits::Invalid();
};

// The filter engine's close is part of the filter-engine seam (dnsguard/wfp_engine.h),
// which binds it to FwpmEngineClose0 on Windows and to a stand-in in tests; it is declared
// here so that this owner needs nothing above this folder.
namespace wfp {
using EngineHandle = void*;
std::uint32_t CloseEngine(EngineHandle engine) noexcept;
}  // namespace wfp

namespace detail {

struct FilterEngineTraits {
  using Value = wfp::EngineHandle;
  static Value Invalid() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  // The status is ignored: a handle is gone after its close, whatever it reports. The
  // seam keeps the thread's last error.
  static void Close(Value v) noexcept { static_cast<void>(wfp::CloseEngine(v)); }
};

}  // namespace detail

// An engine session handle of the Windows Filtering Platform; its dynamic session takes
// every object added under it along when it is closed.
using ScopedFilterEngine = ScopedResource<detail::FilterEngineTraits>;

#ifdef _WIN32

namespace detail {

// A close must not hide the failure that led to it: keep the thread's last error.
template <typename Fn>
void PreservingLastError(Fn&& fn) noexcept {
  const DWORD saved = ::GetLastError();
  fn();
  ::SetLastError(saved);
}

struct HandleTraits {
  using Value = HANDLE;
  static Value Invalid() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept {
    PreservingLastError([v] { ::CloseHandle(v); });
  }
};

// File and pipe handles: both null and INVALID_HANDLE_VALUE mean "no handle".
struct FileHandleTraits {
  using Value = HANDLE;
  static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
  static void Close(Value v) noexcept {
    PreservingLastError([v] { ::CloseHandle(v); });
  }
};

struct LocalMemoryTraits {
  using Value = HLOCAL;
  static Value Invalid() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept {
    PreservingLastError([v] { ::LocalFree(v); });
  }
};

struct SidTraits {
  using Value = PSID;
  static Value Invalid() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept {
    PreservingLastError([v] { ::FreeSid(v); });
  }
};

struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static Value Invalid() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept {
    PreservingLastError([v] { ::CloseServiceHandle(v); });
  }
};

}  // namespace detail

using ScopedHandle = ScopedResource<detail::HandleTraits>;
using ScopedFileHandle = ScopedResource<detail::FileHandleTraits>;
using ScopedLocalMemory = ScopedResource<detail::LocalMemoryTraits>;
using ScopedSid = ScopedResource<detail::SidTraits>;
using ScopedServiceHandle = ScopedResource<detail::ServiceHandleTraits>;

#endif  // _WIN32

}  // namespace brumo
