// FileManager: the standard folders of the application (documents, caches, application support),
// all under one sandbox root: the one set with setSandboxRoot, else the environment variable
// DZ_HOME, else ${XDG_DATA_HOME:-$HOME/.local/share}/dezuvura, read from the environment once.
// Folders are created on demand (mode 0700) and resolved on every call, so a test that sets a root
// of its own gets fresh folders. Also the one place that writes files atomically. Every function
// is thread-safe.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace dz::platform {

class FileManager {
 public:
  FileManager() = delete;

  // The root folder (created when missing). Never empty: falls back to the working folder's
  // "dezuvura" when neither DZ_HOME nor HOME is set.
  static std::filesystem::path sandboxRoot();
  // Makes `root` the root of every later call (tests give each test its own) and returns the one
  // set before (empty when none was read or set yet). An empty `root` puts back the default, read
  // from the environment anew at the next call.
  static std::filesystem::path setSandboxRoot(std::filesystem::path root);
  static std::filesystem::path documentsDirectory();
  static std::filesystem::path cachesDirectory();
  static std::filesystem::path applicationSupportDirectory();

  // Creates `folder` and its parents with `mode` when missing; false when that failed.
  static bool createDirectory(const std::filesystem::path& folder, mode_t mode = 0700);

  // Replaces `file` with `bytes` so that a crash leaves either the old or the new contents: a
  // temporary file in the same folder, fsync, rename over `file`, fsync of the folder. The file
  // gets `mode`. False (with a logged line) on any failure; the old file is then left as it was.
  static bool writeAtomically(const std::filesystem::path& file, std::string_view bytes,
                              mode_t mode = 0600);
  // The whole file, or none when it is missing or unreadable.
  static std::optional<std::string> readFile(const std::filesystem::path& file);
};

}  // namespace dz::platform
