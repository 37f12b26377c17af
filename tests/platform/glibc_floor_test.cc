// What the release builds for Linux define for glibc 2.31, at work: the unwinder finds every
// frame's tables through it, so an exception is caught wherever it is thrown; and one source of
// std::random_device draws from the kernel.
#include "platform/glibc_floor.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

TEST(GlibcFloor, ExceptionsAreCaughtOnEveryThreadAtOnce) {
  const std::function<void()> throwers[] = {
      [] { throw std::runtime_error("thrown here"); },
      [] { (void)std::vector<int>().at(1); },  // thrown inside libstdc++
  };
  for (const auto& thrower : throwers) {
    const auto caught = [&] {
      try {
        thrower();
      } catch (const std::exception&) {
        return true;
      }
      return false;
    };
    EXPECT_TRUE(caught());
    bool on_thread[4] = {};
    std::vector<std::thread> threads;
    for (bool& result : on_thread) threads.emplace_back([&] { result = caught(); });
    for (std::thread& thread : threads) thread.join();
    for (bool result : on_thread) EXPECT_TRUE(result);
  }
}

// Where the system's glibc has its own (2.35 and later), both give the same tables.
TEST(GlibcFloor, FindsTheObjectOfAnAddressAsGlibcDoes) {
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  const auto glibcs =
      reinterpret_cast<int (*)(void*, dl_find_object*)>(dlsym(libc, "_dl_find_object"));
  int on_stack = 0;
  const struct {
    const char* what;
    void* pc;
    bool found;
  } cases[] = {
      {"this program", reinterpret_cast<void*>(&_dl_find_object), true},
      {"libc", dlsym(libc, "printf"), true},
      {"the stack", &on_stack, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dl_find_object ours{}, theirs{};
    ASSERT_EQ(_dl_find_object(c.pc, &ours), c.found ? 0 : -1);
    if (c.found) {
      EXPECT_NE(ours.eh_frame, nullptr);
      EXPECT_TRUE(ours.map_start <= c.pc && c.pc < ours.map_end);
    }
    if (glibcs) {
      EXPECT_EQ(glibcs(c.pc, &theirs), c.found ? 0 : -1);
      EXPECT_EQ(ours.eh_frame, theirs.eh_frame);
    }
  }
  dlclose(libc);
}

TEST(GlibcFloor, RandomDeviceDrawsFromTheKernel) {
  std::random_device device("arc4random");
  std::set<unsigned> draws;
  for (int i = 0; i < 4; ++i) draws.insert(device());
  EXPECT_GT(draws.size(), 1u);
}

}  // namespace
