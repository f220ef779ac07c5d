#include "platform/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"

namespace dz::platform {
namespace {

using dz::testing::ScopedEnvironment;

TEST(FileManagerTest, StandardFoldersLiveUnderTheSandboxRootAndAreMadeOnDemand) {
  dz::testing::ScopedSandbox sandbox;
  EXPECT_EQ(FileManager::sandboxRoot(), sandbox.root());
  for (const auto& folder : {FileManager::documentsDirectory(), FileManager::cachesDirectory(),
                             FileManager::applicationSupportDirectory()}) {
    EXPECT_EQ(folder.parent_path(), sandbox.root());
    EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
  }
  EXPECT_NE(FileManager::documentsDirectory(), FileManager::cachesDirectory());
}

TEST(FileManagerTest, RootDefaultsToTheUsersDataFolder) {
  dz::testing::ScopedSandbox sandbox;  // puts the root back afterwards
  ScopedEnvironment noHome("DZ_HOME", nullptr);
  {
    ScopedEnvironment data("XDG_DATA_HOME", (sandbox.root() / "data").c_str());
    FileManager::setSandboxRoot({});
    EXPECT_EQ(FileManager::sandboxRoot(), sandbox.root() / "data" / "dezuvura");
  }
  ScopedEnvironment noData("XDG_DATA_HOME", nullptr);
  ScopedEnvironment home("HOME", sandbox.root().c_str());
  FileManager::setSandboxRoot({});
  EXPECT_EQ(FileManager::sandboxRoot(), sandbox.root() / ".local" / "share" / "dezuvura");
  EXPECT_TRUE(std::filesystem::is_directory(sandbox.root() / ".local" / "share" / "dezuvura"));
}

// Other threads may ask for the root at any time: the environment is read once, and the root
// moves only when set through the file manager.
TEST(FileManagerTest, RootIsReadFromTheEnvironmentOnceAndMovesOnlyWhenSet) {
  dz::testing::ScopedSandbox sandbox;
  const auto first = sandbox.root() / "first";
  ScopedEnvironment home("DZ_HOME", first.c_str());
  FileManager::setSandboxRoot({});
  EXPECT_EQ(FileManager::sandboxRoot(), first);
  ScopedEnvironment moved("DZ_HOME", (sandbox.root() / "moved").c_str());
  EXPECT_EQ(FileManager::sandboxRoot(), first);

  const auto second = sandbox.root() / "second";
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      const auto root = FileManager::sandboxRoot();
      EXPECT_TRUE(root == first || root == second) << root;
    }
  });
  for (int round = 0; round < 200; ++round) {
    EXPECT_EQ(FileManager::setSandboxRoot(round % 2 ? first : second), round % 2 ? second : first);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(FileManager::documentsDirectory(), first / "Documents");
  EXPECT_FALSE(std::filesystem::exists(sandbox.root() / "moved"));
}

TEST(FileManagerTest, AtomicWriteReplacesContentsWithTheGivenModeAndLeavesNoTemporaries) {
  dz::testing::ScopedSandbox sandbox;
  auto file = sandbox.root() / "deep" / "folder" / "file.bin";
  EXPECT_FALSE(FileManager::readFile(file));
  ASSERT_TRUE(FileManager::writeAtomically(file, "old"));
  ASSERT_TRUE(FileManager::writeAtomically(file, std::string("n\0ew", 4), 0640));
  EXPECT_EQ(FileManager::readFile(file), std::string("n\0ew", 4));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), 1);
}

TEST(FileManagerTest, FailedAtomicWriteKeepsWhatWasThere) {
  dz::testing::ScopedSandbox sandbox;
  auto target = sandbox.root() / "target";
  std::filesystem::create_directories(target / "inside");  // cannot be replaced by a file
  EXPECT_FALSE(FileManager::writeAtomically(target, "bytes"));
  EXPECT_TRUE(std::filesystem::is_directory(target / "inside"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sandbox.root()), {}), 1);
  EXPECT_FALSE(FileManager::readFile(target));
}

}  // namespace
}  // namespace dz::platform
