// The owner of a platform resource: one move-only template over a small traits type. The
// aliases per resource kind live beside their platform: the Win32 ones in
// scoped_resource_win.h, the filter engine's in dnsguard/wfp_engine.h.
//
// A traits type provides:
//   using Value = ...;                      the raw resource type
//   static Value Invalid() noexcept;        the value that means "none"
//   static bool IsValid(Value) noexcept;    whether a value must be closed
//   static void Close(Value) noexcept;      releases a valid value; never throws
#pragma once

#include <utility>

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

}  // namespace brumo
