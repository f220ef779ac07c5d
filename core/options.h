// Options: the settings of one app, read from the options file (a property list, XML or binary)
// or filled in by code. A plain value type; copies are independent and safe to read from several
// threads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace dz::core {

// The options file in the application's resources: "VivuroService-Info.plist".
inline constexpr char kOptionsFileResource[] = "VivuroService-Info";
inline constexpr char kOptionsFileType[] = "plist";

// Options content beyond this size is refused unread: a real options file holds a few hundred
// bytes, and the property-list parser recurses without bound into nested containers, so a large
// deeply nested file would overflow the stack.
inline constexpr size_t kMaxOptionsFileBytes = 64 * 1024;

struct Options {
  std::string vivuroAppID;                 // "VIVURO_APP_ID"
  std::string bundleID;                    // "BUNDLE_ID"
  std::string VCMSenderID;                 // "VCM_SENDER_ID"
  std::string APIKey;                      // "API_KEY"
  std::string clientID;                    // "CLIENT_ID"
  std::string trackingID;                  // "TRACKING_ID"
  std::string androidClientID;             // "ANDROID_CLIENT_ID"
  std::optional<std::string> databaseURL;  // "DATABASE_URL"; absent when the key is
  std::string storageBucket;               // "STORAGE_BUCKET"
  std::string deepLinkURLScheme;           // set by code only; the file does not carry it
  // The analytics switches; false when the file does not say.
  bool isAnalyticsEnabled = false;    // "IS_ANALYTICS_ENABLED"
  bool isMeasurementEnabled = false;  // "IS_MEASUREMENT_ENABLED"

  // Parses property-list bytes. None unless they hold a dictionary of at most
  // kMaxOptionsFileBytes; keys whose value has the wrong type are read as absent.
  static std::optional<Options> fromPropertyList(std::string_view bytes);
  // Reads `file`; none when it is missing, unreadable or not a dictionary.
  static std::optional<Options> fromFile(const std::filesystem::path& file);
  // The options file of the main bundle's resources; none when there is no valid one.
  static std::optional<Options> defaultOptions();

  friend bool operator==(const Options&, const Options&) = default;
};

}  // namespace dz::core
