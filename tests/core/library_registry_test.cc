#include "core/library_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace dz::core {
namespace {

TEST(LibraryRegistryTest, StartsEachLibraryOnce) {
  // The registry lives as long as the process, so every run of this test takes a new name.
  static int run = 0;
  const std::string name = "test-library-" + std::to_string(++run);
  int starts = 0;
  EXPECT_TRUE(registerLibrary(name, [&] { ++starts; }));
  EXPECT_FALSE(registerLibrary(name, [&] { ++starts; }));
  EXPECT_EQ(starts, 1);
  auto names = registeredLibraries();
  EXPECT_EQ(std::count(names.begin(), names.end(), name), 1);
}

}  // namespace
}  // namespace dz::core
