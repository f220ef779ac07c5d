#include "platform/bundle.h"

#include <cstdlib>

#include "platform/file_manager.h"
#include "platform/log.h"

namespace dz::platform {
namespace {

constexpr char kResourcesVariable[] = "DZ_BUNDLE_RESOURCES";
constexpr char kResourcesFolder[] = "Resources";
constexpr char kDefaultIdentifier[] = "com.dezuvura.app";
constexpr char kDefaultShortVersion[] = "1.0";
constexpr char kDefaultBuild[] = "1";

std::filesystem::path defaultResourcePath() {
  const char* configured = std::getenv(kResourcesVariable);
  if (configured && *configured) return configured;
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path(error) / kResourcesFolder;
  return executable.parent_path() / kResourcesFolder;
}

// A resource name stays inside its folder: no absolute paths, no "..".
bool isInside(const std::filesystem::path& relative) {
  if (relative.empty() || relative.is_absolute() || relative.has_root_name()) return false;
  for (const auto& part : relative) {
    if (part == "..") return false;
  }
  return true;
}

}  // namespace

Bundle& Bundle::main() {
  static Bundle* bundle = new Bundle(defaultResourcePath());  // never destroyed: used until exit
  return *bundle;
}

Bundle::Bundle(std::filesystem::path resourcePath) : resourcePath_(std::move(resourcePath)) {
  std::lock_guard lock(mutex_);
  loadInfo();
}

std::filesystem::path Bundle::resourcePath() const {
  std::lock_guard lock(mutex_);
  return resourcePath_;
}

void Bundle::setResourcePath(std::filesystem::path resourcePath) {
  std::lock_guard lock(mutex_);
  resourcePath_ = std::move(resourcePath);
  loadInfo();
}

void Bundle::loadInfo() {
  info_.clear();
  std::filesystem::path file = resourcePath_ / kBundleInfoFileName;
  std::optional<std::string> text = FileManager::readFile(file);
  if (!text) return;
  std::optional<Value> info = Value::parseJson(*text);
  if (!info || !info->isMap()) {
    logLine("Bundle: ignoring unreadable " + file.string());
    return;
  }
  info_ = std::move(info->asMap());
}

std::optional<std::filesystem::path> Bundle::pathForResource(std::string_view name,
                                                             std::string_view type) const {
  std::string fileName(name);
  if (!type.empty()) {
    fileName += '.';
    fileName += type;
  }
  std::filesystem::path relative(fileName);
  if (name.empty() || !isInside(relative)) return std::nullopt;
  std::filesystem::path path = resourcePath() / relative;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  return path;
}

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto found = info_.find(key);
  return found == info_.end() ? Value() : found->second;
}

void Bundle::setInfoValue(std::string key, Value value) {
  std::lock_guard lock(mutex_);
  if (value.isNull()) {
    info_.erase(key);
  } else {
    info_.insert_or_assign(std::move(key), std::move(value));
  }
}

std::string Bundle::infoString(std::string_view key, std::string_view fallback) const {
  Value value = objectForInfoDictionaryKey(key);
  if (const std::string* text = value.getString(); text && !text->empty()) return *text;
  return std::string(fallback);
}

std::string Bundle::bundleIdentifier() const {
  return infoString(kBundleIdentifierKey, kDefaultIdentifier);
}
std::string Bundle::shortVersion() const {
  return infoString(kBundleShortVersionKey, kDefaultShortVersion);
}
std::string Bundle::build() const { return infoString(kBundleVersionKey, kDefaultBuild); }

}  // namespace dz::platform
