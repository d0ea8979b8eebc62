// The pipe's security descriptor: one DACL entry that allows Everyone read and write.
// Wine does not enforce pipe DACLs, so the descriptor's contents are what is checked.
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "control/pipe_security_win.h"
#include "tests/control/pipe/pipe_server_fixture.h"
#include "tests/support/pipe_client.h"

namespace brumo::pipe_test {
namespace {

using namespace ::brumo::test_support;

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return L"<invalid>";
  ScopedLocalMemory owner(text);
  return text;
}

// The single entry an ACL must hold; `mask` is checked by the caller.
ACCESS_ALLOWED_ACE* OnlyAllowedAce(PACL acl) {
  ACL_SIZE_INFORMATION size{};
  EXPECT_TRUE(::GetAclInformation(acl, &size, sizeof(size), AclSizeInformation));
  EXPECT_EQ(size.AceCount, 1u);
  void* ace = nullptr;
  if (size.AceCount != 1 || !::GetAce(acl, 0, &ace)) return nullptr;
  auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
  EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  // No flag at all: neither inherited nor passed on to children, nor audited.
  EXPECT_EQ(allowed->Header.AceFlags, 0);
  EXPECT_EQ(SidText(&allowed->SidStart), L"S-1-1-0");
  EXPECT_EQ(allowed->Header.AceSize,
            offsetof(ACCESS_ALLOWED_ACE, SidStart) + ::GetLengthSid(&allowed->SidStart));
  return allowed;
}

TEST(PipeSecurityTest, DescriptorHoldsOneAllowEntryForEveryone) {
  const PipeSecurity security = BuildPipeSecurity();
  ASSERT_TRUE(security.descriptor);
  ASSERT_TRUE(security.acl);
  auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(security.descriptor.get());
  EXPECT_TRUE(::IsValidSecurityDescriptor(descriptor));

  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  EXPECT_EQ(dacl, security.acl.get());
  ACCESS_ALLOWED_ACE* ace = OnlyAllowedAce(dacl);
  ASSERT_NE(ace, nullptr);
  EXPECT_EQ(ace->Mask, 0xC0100000u);

  // The attributes point at the descriptor and are not inherited.
  const SECURITY_ATTRIBUTES attributes = PipeSecurityAttributes(security);
  EXPECT_EQ(attributes.nLength, 24u);
  EXPECT_EQ(attributes.lpSecurityDescriptor, security.descriptor.get());
  EXPECT_FALSE(attributes.bInheritHandle);
}

// The descriptor as the system keeps it for the instance the server made, read back
// through a client's handle.
using PipeInstanceSecurityTest = RunningPipeServerTest;

TEST_F(PipeInstanceSecurityTest, InstanceCarriesTheEveryoneEntry) {
  ScopedFileHandle pipe = OpenWithin(std::chrono::seconds(10));
  ASSERT_TRUE(pipe);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ScopedLocalMemory owner(descriptor);
  ASSERT_NE(dacl, nullptr);
  ACCESS_ALLOWED_ACE* ace = OnlyAllowedAce(dacl);
  ASSERT_NE(ace, nullptr);
  // Windows may store the generic rights mapped to the file-specific ones.
  GENERIC_MAPPING file_mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
  DWORD mapped = kPipeEveryoneAccess;
  ::MapGenericMask(&mapped, &file_mapping);
  EXPECT_TRUE(ace->Mask == kPipeEveryoneAccess || ace->Mask == mapped) << std::hex << ace->Mask;
}

}  // namespace
}  // namespace brumo::pipe_test
