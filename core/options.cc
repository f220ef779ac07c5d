#include "core/options.h"

#include <plist/plist.h>

#include <cstdint>
#include <memory>

#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace dz::core {
namespace {

constexpr char kVivuroAppIDPlistKey[] = "VIVURO_APP_ID";
constexpr char kBundleIDKey[] = "BUNDLE_ID";
constexpr char kVCMSenderIDKey[] = "VCM_SENDER_ID";
constexpr char kAPIKeyKey[] = "API_KEY";
constexpr char kClientIDKey[] = "CLIENT_ID";
constexpr char kTrackingIDKey[] = "TRACKING_ID";
constexpr char kAndroidClientIDKey[] = "ANDROID_CLIENT_ID";
constexpr char kDatabaseURLKey[] = "DATABASE_URL";
constexpr char kStorageBucketKey[] = "STORAGE_BUCKET";
constexpr char kAnalyticsEnabledKey[] = "IS_ANALYTICS_ENABLED";
constexpr char kMeasurementEnabledKey[] = "IS_MEASUREMENT_ENABLED";

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHolder = std::unique_ptr<void, PlistDeleter>;

std::optional<std::string> stringItem(plist_t dict, const char* key) {
  plist_t item = plist_dict_get_item(dict, key);
  if (!item || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(item, &length);
  if (!text) return std::nullopt;
  return std::string(text, static_cast<size_t>(length));
}

bool boolItem(plist_t dict, const char* key) {
  plist_t item = plist_dict_get_item(dict, key);
  if (!item || plist_get_node_type(item) != PLIST_BOOLEAN) return false;
  uint8_t value = 0;
  plist_get_bool_val(item, &value);
  return value != 0;
}

}  // namespace

std::optional<Options> Options::fromPropertyList(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxOptionsFileBytes) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  PlistHolder holder(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;

  Options options;
  options.vivuroAppID = stringItem(root, kVivuroAppIDPlistKey).value_or("");
  options.bundleID = stringItem(root, kBundleIDKey).value_or("");
  options.VCMSenderID = stringItem(root, kVCMSenderIDKey).value_or("");
  options.APIKey = stringItem(root, kAPIKeyKey).value_or("");
  options.clientID = stringItem(root, kClientIDKey).value_or("");
  options.trackingID = stringItem(root, kTrackingIDKey).value_or("");
  options.androidClientID = stringItem(root, kAndroidClientIDKey).value_or("");
  options.databaseURL = stringItem(root, kDatabaseURLKey);
  options.storageBucket = stringItem(root, kStorageBucketKey).value_or("");
  options.isAnalyticsEnabled = boolItem(root, kAnalyticsEnabledKey);
  options.isMeasurementEnabled = boolItem(root, kMeasurementEnabledKey);
  return options;
}

std::optional<Options> Options::fromFile(const std::filesystem::path& file) {
  std::optional<std::string> bytes = platform::FileManager::readFile(file);
  if (!bytes) return std::nullopt;
  return fromPropertyList(*bytes);
}

std::optional<Options> Options::defaultOptions() {
  std::optional<std::filesystem::path> file =
      platform::Bundle::main().pathForResource(kOptionsFileResource, kOptionsFileType);
  if (!file) return std::nullopt;
  return fromFile(*file);
}

}  // namespace dz::core
