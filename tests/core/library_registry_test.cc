#include "core/library_registry.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace dz::core {
namespace {

TEST(LibraryRegistryTest, StartsEachLibraryOnce) {
  int starts = 0;
  EXPECT_TRUE(registerLibrary("test-library", [&] { ++starts; }));
  EXPECT_FALSE(registerLibrary("test-library", [&] { ++starts; }));
  EXPECT_EQ(starts, 1);
  auto names = registeredLibraries();
  EXPECT_EQ(std::count(names.begin(), names.end(), "test-library"), 1);
}

}  // namespace
}  // namespace dz::core
