#include "base/unique_resource.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

namespace kolvex {
namespace {

std::vector<int> freed;

// A release that fails, as close() may, and leaves its own errno behind.
void free_failing(int value) {
  freed.push_back(value);
  errno = EBADF;
}

using Resource = UniqueResource<int, free_failing, -1>;

TEST(UniqueResourceTest, FreesEachValueOnceAndKeepsTheCallersErrno) {
  freed.clear();
  {
    Resource a(3);
    Resource b(std::move(a));
    EXPECT_FALSE(a);
    errno = ENOENT;  // the failure the caller is about to report
    b.reset(4);
    EXPECT_EQ(errno, ENOENT);
    *b.out() = 5;
    Resource c(6);
    EXPECT_EQ(c.release(), 6);
  }
  EXPECT_EQ(freed, (std::vector<int>{3, 4, 5}));
}

}  // namespace
}  // namespace kolvex
