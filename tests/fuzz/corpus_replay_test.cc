// Feeds every file of each fuzz target's corpus to the target's entry function. A file that
// crashes, trips a sanitizer or breaks one of the target's checks aborts the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_manager.h"

#define FUZZ_TARGET(name) extern "C" int name##_entry(const uint8_t* data, size_t size);
#include "fuzz_targets.inc"
#undef FUZZ_TARGET

namespace {

struct Target {
  const char* name;
  int (*entry)(const uint8_t*, size_t);
  friend void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }
};

const std::vector<Target> kTargets = {
#define FUZZ_TARGET(name) {#name, name##_entry},
#include "fuzz_targets.inc"
#undef FUZZ_TARGET
};

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryFileRunsClean) {
  const std::filesystem::path folder = std::filesystem::path(DZ_FUZZ_CORPUS_DIR) / GetParam().name;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << "no corpus in " << folder;
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    std::optional<std::string> bytes = dz::platform::FileManager::readFile(file);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(GetParam().entry(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
