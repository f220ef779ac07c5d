// The benchmark programs (built with DZ_BUILD_BENCH) leave nothing in the temporary folder or
// the user's data folder, as the other programs the README names do: the development server (its
// program test), the demo and its phones (demo_test.cc) and the first program (packaging).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"

namespace dz::e2e {
namespace {

namespace fs = std::filesystem;
using dz::testing::readFile;

TEST(TemporaryFilesTest, TheBenchmarksLeaveNothingBehind) {
#ifndef DZ_BENCH_APP_PROGRAM
  GTEST_SKIP() << "the benchmark programs are not built here (DZ_BUILD_BENCH is off)";
#else
  dz::testing::ScopedSandbox sandbox;
  const fs::path temporary = sandbox.root() / "tmp";
  const fs::path home = sandbox.root() / "home";  // the user's data folder is in it
  const fs::path log = sandbox.root() / "bench.log";
  fs::create_directories(temporary);
  fs::create_directories(home);
  // One benchmark of each is enough: the server, the users, the clients and their files are made
  // once. The database client keeps its settings in the user's data folder.
  const std::pair<std::string, std::string> runs[] = {
      {DZ_BENCH_APP_PROGRAM, "BM_FeedCompleteAfterSignIn/"},
      {DZ_BENCH_AUTH_PROGRAM, "BM_KeychainStore/"},
      {DZ_BENCH_CONNECTION_PROGRAM, "BM_ClientPutRoundTrip/64/"},
  };
  for (const auto& [program, benchmark] : runs) {
    dz::testing::Child bench(
        program, {"--benchmark_filter=^" + benchmark}, log,
        {"TMPDIR=" + temporary.string(), "HOME=" + home.string(), "XDG_DATA_HOME=", "DZ_HOME="});
    EXPECT_EQ(bench.waitForExit(std::chrono::minutes(5)), 0) << readFile(log);
    EXPECT_NE(readFile(log).find(benchmark), std::string::npos) << readFile(log);
    std::string left;
    for (const fs::path& folder : {temporary, home}) {
      for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        left += entry.path().string() + "\n";
      }
    }
    EXPECT_EQ(left, "") << program;
  }
#endif
}

}  // namespace
}  // namespace dz::e2e
