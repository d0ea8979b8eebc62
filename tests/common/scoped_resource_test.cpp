#include "common/scoped_resource.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#ifdef _WIN32
#include "common/scoped_resource_win.h"
#endif

namespace brumo {
namespace {

std::vector<int> g_closed;

struct CountingTraits {
  using Value = int;
  static Value Invalid() noexcept { return -1; }
  static bool IsValid(Value v) noexcept { return v >= 0; }
  static void Close(Value v) noexcept { g_closed.push_back(v); }
};
using Scoped = ScopedResource<CountingTraits>;

class ScopedResourceTest : public ::testing::Test {
 protected:
  void SetUp() override { g_closed.clear(); }
};

// Closed once when it leaves its scope, and not by an owner it was moved from.
TEST_F(ScopedResourceTest, MovedFromOwnerClosesNothing) {
  {
    Scoped a(4);
    EXPECT_TRUE(a);
    Scoped b(std::move(a));
    EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): the point of the test
    EXPECT_EQ(b.get(), 4);
    Scoped c;
    c = std::move(b);
    EXPECT_EQ(c.get(), 4);
  }
  EXPECT_EQ(g_closed, std::vector<int>{4});
}

TEST_F(ScopedResourceTest, MoveAssignClosesTheOldValue) {
  Scoped a(1);
  Scoped b(2);
  a = std::move(b);
  EXPECT_EQ(g_closed, std::vector<int>{1});
  a.reset();
  EXPECT_EQ(g_closed, (std::vector<int>{1, 2}));
  a.reset();
  EXPECT_EQ(g_closed.size(), 2u);
}

// release hands the value over, put closes it before handing out the slot, and an invalid
// value is never closed.
TEST_F(ScopedResourceTest, ReleasePutAndInvalidValues) {
  {
    Scoped a(7);
    EXPECT_EQ(a.release(), 7);
    EXPECT_FALSE(a);
    Scoped b(-1);
    Scoped c;
  }
  EXPECT_TRUE(g_closed.empty());
  Scoped a(5);
  *a.put() = 6;
  EXPECT_EQ(g_closed, std::vector<int>{5});
  EXPECT_EQ(a.get(), 6);
}

#ifdef _WIN32
TEST(ScopedFileHandleTest, NullAndInvalidBothMeanNone) {
  EXPECT_FALSE(ScopedFileHandle(nullptr));
  EXPECT_FALSE(ScopedFileHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(ScopedFileHandle());
}

TEST(ScopedHandleTest, CloseKeepsTheLastError) {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  ScopedHandle owner(event);
  ::SetLastError(ERROR_PIPE_BUSY);
  owner.reset();
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
}
#endif

}  // namespace
}  // namespace brumo
