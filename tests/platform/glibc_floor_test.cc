// What the release builds for Linux define for glibc 2.31, at work: the unwinder finds every
// frame's tables through it, so an exception is caught wherever it is thrown; and one source of
// std::random_device draws from the kernel.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

TEST(GlibcFloor, ExceptionsAreCaughtOnEveryThread) {
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
    bool caught_on_thread = false;
    std::thread([&] { caught_on_thread = caught(); }).join();
    EXPECT_TRUE(caught_on_thread);
  }
}

TEST(GlibcFloor, RandomDeviceDrawsFromTheKernel) {
  std::random_device device("arc4random");
  std::set<unsigned> draws;
  for (int i = 0; i < 4; ++i) draws.insert(device());
  EXPECT_GT(draws.size(), 1u);
}

}  // namespace
