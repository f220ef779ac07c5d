#include "fuzz/support.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/file_manager.h"
#include "platform/log.h"

namespace dz::fuzz {
namespace {

void writeError(std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace

void require(bool condition, std::string_view what) {
  if (condition) return;
  writeError(std::string("fuzz check failed: ").append(what).append("\n"));
  std::abort();
}

namespace {

// The folder goes with the static that names it: a clean-up registered with atexit while the
// static was being made would run after the static's destructor and read a destroyed path.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::error_code error;
    std::filesystem::path base = "/dev/shm";
    if (const char* chosen = std::getenv("DZ_FUZZ_SCRATCH")) {
      base = chosen;
    } else if (!std::filesystem::is_directory(base, error)) {
      base = std::filesystem::temp_directory_path();
    }
    std::string pattern = (base / "dz-fuzz-XXXXXX").string();
    require(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
    path_ = pattern;
    platform::FileManager::setSandboxRoot(path_ / "home");
    if (std::getenv("DZ_FUZZ_LOG")) writeError("scratch folder " + path_.string() + "\n");
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace

const std::filesystem::path& scratchFolder() {
  static const ScratchFolder folder;
  return folder.path();
}

}  // namespace dz::fuzz

// Linked in place of the platform's own definition (the linker takes this one and never pulls
// that object from the library). Queue tasks that throw end here: under fuzzing that is a fault
// of the input's handling. Set DZ_FUZZ_LOG to see every line.
namespace dz::platform {

void logLine(std::string_view line) {
  // The shared logger's lines start with their tag; a task's end is the queue's own line.
  if (!line.starts_with('[') && line.find(": task threw") != std::string_view::npos) {
    dz::fuzz::require(false, line);
  }
  static const bool verbose = std::getenv("DZ_FUZZ_LOG") != nullptr;
  if (verbose) dz::fuzz::writeError(std::string(line).append("\n"));
}

}  // namespace dz::platform
