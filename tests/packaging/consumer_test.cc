// The SDK as its users get it: installed into a prefix with `cmake --install`, found by a project
// of its own with find_package(Dezuvura), and that project's program (the README's first program)
// writing a value to the development server and reading it back.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"
#include "tools/devserver/dev_server.h"

namespace dz::packaging {
namespace {

namespace fs = std::filesystem;

const fs::path kConsumerSource = fs::path(DZ_SOURCE_DIR) / "tests/packaging/consumer";
// Configuring, building and linking against a sanitized build take a while on a busy machine.
constexpr auto kStepTimeout = std::chrono::minutes(5);

using dz::testing::readFile;

class ConsumerTest : public ::testing::Test {
 protected:
  // Runs `program` to its end; its output goes to the test's log when it fails.
  void run(const std::string& program, const std::vector<std::string>& arguments) {
    fs::path log = sandbox_.root() / "step.log";
    dz::testing::Child child(program, arguments, log);
    ASSERT_EQ(child.waitForExit(kStepTimeout), 0) << program << "\n" << readFile(log);
  }
  void installAndBuildTheConsumer() {
    run(DZ_CMAKE_COMMAND,
        {"--install", DZ_BUILD_DIR, "--prefix", prefix_.string(), "--component", "sdk"});
    std::vector<std::string> configure = {"-S",
                                          kConsumerSource.string(),
                                          "-B",
                                          build_.string(),
                                          "-G",
                                          DZ_CMAKE_GENERATOR,
                                          "-DCMAKE_MAKE_PROGRAM=" DZ_MAKE_PROGRAM,
                                          "-DCMAKE_CXX_COMPILER=" DZ_CXX_COMPILER,
                                          "-DCMAKE_BUILD_TYPE=" DZ_BUILD_TYPE,
                                          "-DCMAKE_PREFIX_PATH=" + prefix_.string()};
    if (std::string launcher = DZ_CXX_COMPILER_LAUNCHER; !launcher.empty()) {
      configure.push_back("-DCMAKE_CXX_COMPILER_LAUNCHER=" + launcher);
    }
    run(DZ_CMAKE_COMMAND, configure);
    run(DZ_CMAKE_COMMAND, {"--build", build_.string()});
  }

  dz::testing::ScopedSandbox sandbox_;
  fs::path prefix_ = sandbox_.root() / "prefix";
  fs::path build_ = sandbox_.root() / "hello-build";
};

TEST_F(ConsumerTest, TheInstalledSdkBuildsAProgramThatWritesAndReadsAValue) {
  ASSERT_NO_FATAL_FAILURE(installAndBuildTheConsumer());
  // Only the package's own folders: nothing points back into the source or build tree.
  EXPECT_TRUE(fs::exists(prefix_ / "include/dezuvura/database/api/database.h"));
  EXPECT_TRUE(fs::exists(prefix_ / "lib/cmake/Dezuvura/DezuvuraConfig.cmake"));
  std::string targets = readFile(prefix_ / "lib/cmake/Dezuvura/DezuvuraTargets.cmake");
  EXPECT_EQ(targets.find(DZ_SOURCE_DIR), std::string::npos);
  EXPECT_EQ(targets.find(DZ_BUILD_DIR), std::string::npos);

  devserver::Options options;
  options.tls = true;
  auto server = devserver::DevServer::start(options);
  fs::path output = sandbox_.root() / "hello.log";
  fs::path temporary = sandbox_.root() / "tmp";
  fs::create_directories(temporary);
  dz::testing::Child hello(
      (build_ / "hello").string(), {server->databaseUrl()}, output,
      {"DZ_RESOLVE=ns.dz.test=127.0.0.1", "DZ_CA_FILE=" + server->caFile().string(),
       "TMPDIR=" + temporary.string()});
  ASSERT_EQ(hello.waitForExit(), 0) << readFile(output);
  EXPECT_EQ(readFile(output), "read back: hello, world\n");
  EXPECT_EQ(server->snapshot("/greeting"), boost::json::value("hello, world"));
  EXPECT_TRUE(fs::is_empty(temporary));
}

TEST_F(ConsumerTest, TheReadmeShowsTheFirstProgramAsTested) {
  std::string readme = readFile(fs::path(DZ_SOURCE_DIR) / "README.md");
  for (const char* file : {"hello.cc", "CMakeLists.txt"}) {
    std::string text = readFile(kConsumerSource / file);
    ASSERT_FALSE(text.empty()) << file;
    EXPECT_NE(readme.find(text), std::string::npos) << file << " is not in the README as it is";
  }
}

}  // namespace
}  // namespace dz::packaging
