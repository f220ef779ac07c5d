#include "platform/bundle.h"

#include <algorithm>
#include <cctype>
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
constexpr char kLocalizationSuffix[] = ".lproj";
constexpr char kBaseLocalization[] = "Base";

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

// "fr_CH.UTF-8@euro" -> "fr-ch"; the POSIX locale names no language.
std::string languageTag(std::string_view name) {
  name = name.substr(0, name.find_first_of(".@"));
  if (name == "C" || name == "POSIX") return {};
  std::string tag(name);
  std::transform(tag.begin(), tag.end(), tag.begin(), [](unsigned char c) {
    return c == '_' ? '-' : static_cast<char>(std::tolower(c));
  });
  return tag;
}

std::vector<std::string> userLanguageTags() {
  std::vector<std::string> tags;
  if (const char* list = std::getenv("LANGUAGE"); list && *list) {
    std::string_view rest(list);
    while (!rest.empty()) {
      const size_t colon = rest.find(':');
      if (std::string tag = languageTag(rest.substr(0, colon)); !tag.empty()) tags.push_back(tag);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value || !*value) continue;
    if (std::string tag = languageTag(value); !tag.empty()) tags.push_back(tag);
    break;
  }
  return tags;
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

std::vector<std::string> Bundle::preferredLocalizations() const {
  std::vector<std::string> available;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(resourcePath(), error)) {
    const std::filesystem::path& path = entry.path();
    if (path.extension() == kLocalizationSuffix && path.stem() != kBaseLocalization &&
        entry.is_directory(error)) {
      available.push_back(path.stem().string());
    }
  }
  std::sort(available.begin(), available.end());
  const std::string region = infoString(kBundleDevelopmentRegionKey, "");
  if (!region.empty() && std::find(available.begin(), available.end(), region) == available.end()) {
    available.push_back(region);
  }
  if (available.empty()) return {};

  std::vector<std::string> preferred;
  auto pick = [&](const std::string& localization) {
    if (std::find(preferred.begin(), preferred.end(), localization) == preferred.end()) {
      preferred.push_back(localization);
    }
  };
  for (const std::string& wanted : userLanguageTags()) {
    auto matches = [&](std::string_view tag) {
      return std::find_if(available.begin(), available.end(),
                          [&](const std::string& name) { return languageTag(name) == tag; });
    };
    auto found = matches(wanted);
    if (found == available.end())
      found = matches(std::string_view(wanted).substr(0, wanted.find('-')));
    if (found != available.end()) {
      pick(*found);
      break;
    }
  }
  pick(region.empty() ? available.front() : region);
  return preferred;
}

}  // namespace dz::platform
