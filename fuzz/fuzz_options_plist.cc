// Arbitrary bytes as the options file (a property list, XML or binary). Reading never crashes;
// options read from a file are read alike from the binary and XML lists written of them.
#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/options.h"
#include "database/websocket/utf8_validator.h"
#include "fuzz/support.h"

namespace {

using dz::core::Options;
using dz::fuzz::require;

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

// Whether a property-list writer can carry the text unchanged: C strings, UTF-8, and (for
// XML) no control characters, which XML 1.0 cannot hold.
bool writable(const std::string& text, bool xml) {
  for (unsigned char c : text) {
    if (c == 0 || (xml && c < 0x20)) return false;
  }
  return dz::websocket::isValidUtf8(text);
}

std::string listOf(const Options& options, bool xml, bool& complete) {
  std::unique_ptr<void, PlistFree> dict(plist_new_dict());
  complete = true;
  auto text = [&](const char* key, const std::string& value) {
    complete = complete && writable(value, xml);
    plist_dict_set_item(dict.get(), key, plist_new_string(value.c_str()));
  };
  text("VIVURO_APP_ID", options.vivuroAppID);
  text("BUNDLE_ID", options.bundleID);
  text("VCM_SENDER_ID", options.VCMSenderID);
  text("API_KEY", options.APIKey);
  text("CLIENT_ID", options.clientID);
  text("TRACKING_ID", options.trackingID);
  text("ANDROID_CLIENT_ID", options.androidClientID);
  if (options.databaseURL) text("DATABASE_URL", *options.databaseURL);
  text("STORAGE_BUCKET", options.storageBucket);
  plist_dict_set_item(dict.get(), "IS_ANALYTICS_ENABLED",
                      plist_new_bool(options.isAnalyticsEnabled));
  plist_dict_set_item(dict.get(), "IS_MEASUREMENT_ENABLED",
                      plist_new_bool(options.isMeasurementEnabled));
  char* bytes = nullptr;
  uint32_t length = 0;
  if (xml) {
    plist_to_xml(dict.get(), &bytes, &length);
  } else {
    plist_to_bin(dict.get(), &bytes, &length);
  }
  std::string list = bytes ? std::string(bytes, length) : std::string();
  xml ? plist_to_xml_free(bytes) : plist_to_bin_free(bytes);
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<Options> options = Options::fromPropertyList(bytes);
  if (!options) return 0;
  for (bool xml : {false, true}) {
    bool complete = false;
    const std::string list = listOf(*options, xml, complete);
    if (!complete) continue;
    std::optional<Options> again = Options::fromPropertyList(list);
    require(again && *again == *options, xml ? "options differ read from their XML list"
                                             : "options differ read from their binary list");
  }
  return 0;
}
