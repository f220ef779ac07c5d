// Arbitrary bytes as the key-chain file. Reading never crashes, and what was read is written back
// unchanged: a change made over the file the key chain wrote writes the very same file again.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/support.h"
#include "platform/file_manager.h"
#include "platform/keychain.h"

namespace {

using dz::fuzz::require;
using dz::platform::FileManager;
using dz::platform::Keychain;
using dz::platform::KeychainItem;
using dz::platform::KeychainQuery;

const KeychainQuery kProbe{"fuzz.probe", std::string("service")};

std::string contents(const std::filesystem::path& file) {
  std::optional<std::string> text = FileManager::readFile(file);
  require(text.has_value(), "the written key-chain file cannot be read");
  struct stat status {};
  require(::stat(file.c_str(), &status) == 0 && (status.st_mode & 0777) == 0600,
          "the key-chain file is readable by others");
  return *text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path file = dz::fuzz::scratchFolder() / "keychain" / "items.json";
  std::error_code ignored;
  std::filesystem::remove(std::filesystem::path(file) += ".corrupt", ignored);
  require(FileManager::writeAtomically(file,
                                       std::string_view(reinterpret_cast<const char*>(data), size)),
          "cannot write the input file");
  std::shared_ptr<Keychain> keychain = Keychain::create(file);
  keychain->copyMatching(KeychainQuery{"", std::nullopt});
  keychain->copyMatching(kProbe);
  keychain->remove(kProbe);
  require(keychain->add(KeychainItem{kProbe.account, kProbe.service, std::string("\0\xff", 2)}) ==
              dz::platform::kKeychainSuccess,
          "the probe item was not added");
  const std::string first = contents(file);
  require(keychain->update(kProbe, std::string("\0\xff", 2)) == dz::platform::kKeychainSuccess,
          "the probe item was not updated");
  require(contents(file) == first, "a key-chain file changes when read and written back");
  dz::platform::KeychainResult probe = keychain->copyMatching(kProbe);
  require(probe.status == dz::platform::kKeychainSuccess && probe.items.size() == 1 &&
              probe.items[0].data == std::string("\0\xff", 2),
          "the probe item does not read back");
  return 0;
}
