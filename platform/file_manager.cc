#include "platform/file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/crypto.h"
#include "platform/log.h"

namespace dz::platform {
namespace {

constexpr char kHomeVariable[] = "DZ_HOME";
constexpr char kAppFolderName[] = "dezuvura";

std::filesystem::path subfolder(const char* name) {
  std::filesystem::path folder = FileManager::sandboxRoot() / name;
  FileManager::createDirectory(folder);
  return folder;
}

void logFailure(std::string_view what, const std::filesystem::path& path, int error) {
  std::string line = "FileManager: ";
  line += what;
  line += " ";
  line += path.string();
  line += ": ";
  line += std::strerror(error);
  logLine(line);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool syncFolder(const std::filesystem::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// The environment is read once, before any root is handed out: other threads may still be at
// work when a program (or a test) changes its variables.
std::filesystem::path defaultSandboxRoot() {
  const char* home = std::getenv(kHomeVariable);
  if (home && *home) return home;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data) return std::filesystem::path(data) / kAppFolderName;
  const char* userHome = std::getenv("HOME");
  if (userHome && *userHome) {
    return std::filesystem::path(userHome) / ".local" / "share" / kAppFolderName;
  }
  return std::filesystem::current_path() / kAppFolderName;
}

struct SandboxRoot {
  std::mutex mutex;
  std::filesystem::path root;  // empty until first asked for or set
};

// Never destroyed: threads still at work during exit may ask for the root.
SandboxRoot& sandboxRootState() {
  static auto* state = new SandboxRoot;
  return *state;
}

}  // namespace

std::filesystem::path FileManager::sandboxRoot() {
  std::filesystem::path root;
  {
    SandboxRoot& current = sandboxRootState();
    std::lock_guard lock(current.mutex);
    if (current.root.empty()) current.root = defaultSandboxRoot();
    root = current.root;
  }
  createDirectory(root);
  return root;
}

std::filesystem::path FileManager::setSandboxRoot(std::filesystem::path root) {
  SandboxRoot& current = sandboxRootState();
  std::lock_guard lock(current.mutex);
  std::swap(current.root, root);
  return root;
}

std::filesystem::path FileManager::documentsDirectory() { return subfolder("Documents"); }
std::filesystem::path FileManager::cachesDirectory() { return subfolder("Caches"); }
std::filesystem::path FileManager::applicationSupportDirectory() {
  return subfolder("Application Support");
}

bool FileManager::createDirectory(const std::filesystem::path& folder, mode_t mode) {
  std::error_code error;
  if (std::filesystem::is_directory(folder, error)) return true;
  if (folder.has_parent_path() && folder.parent_path() != folder &&
      !createDirectory(folder.parent_path(), mode)) {
    return false;
  }
  if (::mkdir(folder.c_str(), mode) == 0 || errno == EEXIST) {
    return std::filesystem::is_directory(folder, error);
  }
  logFailure("cannot create", folder, errno);
  return false;
}

bool FileManager::writeAtomically(const std::filesystem::path& file, std::string_view bytes,
                                  mode_t mode) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  if (!createDirectory(folder)) return false;
  // A random suffix keeps concurrent writers (other processes included) off each other's file.
  std::string suffix;
  for (char c : base64Encode(secureRandomBytes(6))) {
    suffix.push_back(c == '/' ? '_' : c);
  }
  std::filesystem::path temporary = folder / ("." + file.filename().string() + "." + suffix);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    logFailure("cannot create", temporary, errno);
    return false;
  }
  // The umask may have narrowed the mode; the caller's mode is what counts (0600 for secrets).
  bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
  int error = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    logFailure("cannot write", file, error);
    ::unlink(temporary.c_str());
    return false;
  }
  if (!syncFolder(folder)) logFailure("cannot sync folder", folder, errno);
  return true;
}

std::optional<std::string> FileManager::readFile(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ::close(fd);
      if (got < 0) return std::nullopt;
      return contents;
    }
    contents.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace dz::platform
