// The owner of a POSIX file descriptor, for the Linux programs over the real tun2proxy.
#pragma once

#include <unistd.h>

#include "common/scoped_resource.h"

namespace brumo {

struct FdTraits {
  using Value = int;
  static Value Invalid() noexcept { return -1; }
  static bool IsValid(Value fd) noexcept { return fd >= 0; }
  static void Close(Value fd) noexcept { static_cast<void>(::close(fd)); }
};
using ScopedFd = ScopedResource<FdTraits>;

}  // namespace brumo
