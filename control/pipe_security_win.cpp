#include "control/pipe_security_win.h"

namespace brumo {

EXPLICIT_ACCESS_W EveryoneAccessEntry(PSID everyone) noexcept {
  EXPLICIT_ACCESS_W entry{};
  entry.grfAccessPermissions = kPipeEveryoneAccess;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
  return entry;
}

PipeSecurity BuildPipeSecurity() noexcept {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  ScopedSid everyone;
  if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                  everyone.put())) {
    return PipeSecurity();
  }

  EXPLICIT_ACCESS_W entry = EveryoneAccessEntry(everyone.get());
  PACL acl = nullptr;
  if (::SetEntriesInAclW(1, &entry, nullptr, &acl) != ERROR_SUCCESS) return PipeSecurity();
  PipeSecurity security;
  security.acl.reset(acl);

  security.descriptor.reset(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(security.descriptor.get());
  if (descriptor == nullptr ||
      !::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) {
    return PipeSecurity();
  }
  return security;
}

SECURITY_ATTRIBUTES PipeSecurityAttributes(const PipeSecurity& security) noexcept {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = security.descriptor.get();
  attributes.bInheritHandle = FALSE;
  return attributes;
}

}  // namespace brumo
