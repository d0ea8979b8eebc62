// The security descriptor of the control pipe's instances: a DACL with one entry that
// allows Everyone read and write access. Windows only.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include "common/scoped_resource_win.h"

namespace brumo {

// GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE.
inline constexpr DWORD kPipeEveryoneAccess = 0xC0100000;
static_assert(kPipeEveryoneAccess == (GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE));

// Owns a descriptor and the ACL that its DACL points at. Both empty when the descriptor
// could not be built. Movable; the descriptor's address does not change on a move.
struct PipeSecurity {
  ScopedLocalMemory acl;
  // Declared after the ACL, so it is released first and never points at freed memory.
  ScopedLocalMemory descriptor;
};

// The single entry of the DACL, for `everyone` (S-1-1-0). Data only: `everyone` stays
// owned by the caller and must outlive the entry's use.
EXPLICIT_ACCESS_W EveryoneAccessEntry(PSID everyone) noexcept;

// Builds the descriptor: Everyone SID, ACL from EveryoneAccessEntry, descriptor of
// revision 1 with that ACL as its DACL (present, not defaulted). When any step fails,
// everything made so far is released and an empty PipeSecurity comes back. The SID is
// released before returning: the ACL holds its own copy. Never throws.
PipeSecurity BuildPipeSecurity() noexcept;

// The attributes record for CreateNamedPipeW, pointing at `security`'s descriptor; not
// inheritable. Meaningful only while `security` has a descriptor.
SECURITY_ATTRIBUTES PipeSecurityAttributes(const PipeSecurity& security) noexcept;

}  // namespace brumo
