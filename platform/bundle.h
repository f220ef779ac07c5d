// Bundle: the application's resources and its Info values. Bundle::main() reads its resource folder
// from the environment variable DZ_BUNDLE_RESOURCES, else <folder of the executable>/Resources;
// a Bundle can also be opened over any folder (a resource bundle inside the main one, a test's
// folder). The Info values come from "Info.json" in the resource folder when present (a JSON
// object; a corrupt file is logged and ignored), with defaults for the identifier, version and
// build, and can be overridden. Thread-safe; main() lives until exit.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace dz::platform {

inline constexpr char kBundleIdentifierKey[] = "CFBundleIdentifier";
inline constexpr char kBundleShortVersionKey[] = "CFBundleShortVersionString";
inline constexpr char kBundleVersionKey[] = "CFBundleVersion";
inline constexpr char kBundleInfoFileName[] = "Info.json";
inline constexpr char kBundleDevelopmentRegionKey[] = "CFBundleDevelopmentRegion";

class Bundle {
 public:
  static Bundle& main();
  explicit Bundle(std::filesystem::path resourcePath);

  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;

  std::filesystem::path resourcePath() const;
  // Moves the bundle to another folder and reads its Info file again; overrides are dropped.
  void setResourcePath(std::filesystem::path resourcePath);

  // <resource folder>/<name>.<type> (just <name> when `type` is empty), or none when there is no
  // such file. Names that would leave the resource folder ("..", absolute paths) give none.
  std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                       std::string_view type) const;

  // The Info value under `key`, or null when absent.
  Value objectForInfoDictionaryKey(std::string_view key) const;
  // Overrides (or, with null, removes) one Info value; for tests and the program.
  void setInfoValue(std::string key, Value value);

  // "com.dezuvura.app", "1.0" and "1" unless the Info values say otherwise.
  std::string bundleIdentifier() const;
  std::string shortVersion() const;
  std::string build() const;

  // The bundle's localizations (its "<language>.lproj" folders, "Base" aside, and the Info
  // value CFBundleDevelopmentRegion) best first for the user: the first that the user's
  // languages (LANGUAGE, else LC_ALL, LC_MESSAGES or LANG; "fr_CH" also matches "fr") name, then
  // the development region, else the first by name. Empty when the bundle has none.
  std::vector<std::string> preferredLocalizations() const;

 private:
  void loadInfo();  // with mutex_ held
  std::string infoString(std::string_view key, std::string_view fallback) const;

  mutable std::mutex mutex_;
  std::filesystem::path resourcePath_;
  Value::Map info_;
};

}  // namespace dz::platform
