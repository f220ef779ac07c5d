// Fuzz processes and corpus replays run by the hundred in CI: each removes its scratch folder
// when it ends, or a memory file system fills up.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file_manager.h"
#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"

namespace {

constexpr char kScratchLine[] = "scratch folder ";

TEST(ScratchFolder, AReplayLeavesNothingBehind) {
  dz::testing::ScopedSandbox sandbox;
  const std::filesystem::path base = sandbox.root() / "scratch";
  std::filesystem::create_directories(base);
  const std::filesystem::path output = sandbox.root() / "replay.log";
  dz::testing::Child replay("/proc/self/exe",
                            {"--gtest_filter=Corpus/CorpusReplay.EveryFileRunsClean/fuzz_keychain"},
                            output, {"DZ_FUZZ_SCRATCH=" + base.string(), "DZ_FUZZ_LOG=1"});
  ASSERT_EQ(replay.waitForExit(), 0);
  const std::string log = dz::platform::FileManager::readFile(output).value_or("");
  // The replay made its folder where it was told to, so an empty base means it was removed.
  const size_t line = log.find(kScratchLine);
  ASSERT_NE(line, std::string::npos) << log;
  const std::string made = log.substr(line + sizeof kScratchLine - 1,
                                      log.find('\n', line) - line - (sizeof kScratchLine - 1));
  EXPECT_EQ(std::filesystem::path(made).parent_path(), base);
  EXPECT_TRUE(std::filesystem::is_empty(base)) << made << " is left behind";
}

}  // namespace
