// Arbitrary bytes as the user-defaults file. Opening never crashes, and what was read is written
// back unchanged: a store opened over the file it wrote writes the very same file again.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/support.h"
#include "platform/file_manager.h"
#include "platform/user_defaults.h"

namespace {

using dz::fuzz::require;
using dz::platform::FileManager;
using dz::platform::UserDefaults;

constexpr char kProbeKey[] = "fuzz.probe";

// Opens a store over `file`, reads the probe key every way, and has it write the file.
std::string storeAndRewrite(const std::filesystem::path& file) {
  std::shared_ptr<UserDefaults> defaults = UserDefaults::create(file);
  defaults->objectForKey(kProbeKey);
  defaults->stringForKey(kProbeKey);
  defaults->dataForKey(kProbeKey);
  defaults->boolForKey(kProbeKey);
  defaults->integerForKey(kProbeKey);
  defaults->doubleForKey(kProbeKey);
  defaults->setData(std::string("\0\xff", 2), kProbeKey);
  require(defaults->synchronize(), "the user-defaults file was not written");
  std::optional<std::string> written = FileManager::readFile(file);
  require(written.has_value(), "the written user-defaults file cannot be read");
  return *written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path file = dz::fuzz::scratchFolder() / "defaults.json";
  std::error_code ignored;
  std::filesystem::remove(std::filesystem::path(file) += ".corrupt", ignored);
  require(FileManager::writeAtomically(file,
                                       std::string_view(reinterpret_cast<const char*>(data), size)),
          "cannot write the input file");
  const std::string first = storeAndRewrite(file);
  require(storeAndRewrite(file) == first,
          "a user-defaults file changes when read and written back");
  return 0;
}
