#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/app.h"
#include "core/options.h"
#include "platform/bundle.h"
#include "platform/exception.h"
#include "platform/notification_center.h"
#include "tests/support/sandbox.h"

namespace dz::core {
namespace {

constexpr char kFullOptions[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>VIVURO_APP_ID</key><string>1:123:ios:abc</string>
  <key>BUNDLE_ID</key><string>com.example.polls</string>
  <key>VCM_SENDER_ID</key><string>123</string>
  <key>API_KEY</key><string>key-xyz</string>
  <key>CLIENT_ID</key><string>client</string>
  <key>TRACKING_ID</key><string>tracking</string>
  <key>ANDROID_CLIENT_ID</key><string>android</string>
  <key>DATABASE_URL</key><string>https://polls.dz.test</string>
  <key>STORAGE_BUCKET</key><string>polls.bucket</string>
  <key>IS_ANALYTICS_ENABLED</key><true/>
  <key>IS_MEASUREMENT_ENABLED</key><false/>
</dict>
</plist>
)";

void writeFile(const std::filesystem::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(OptionsTest, ReadsEveryKeyOfAnXmlPropertyList) {
  auto options = Options::fromPropertyList(kFullOptions);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->vivuroAppID, "1:123:ios:abc");
  EXPECT_EQ(options->bundleID, "com.example.polls");
  EXPECT_EQ(options->VCMSenderID, "123");
  EXPECT_EQ(options->APIKey, "key-xyz");
  EXPECT_EQ(options->clientID, "client");
  EXPECT_EQ(options->trackingID, "tracking");
  EXPECT_EQ(options->androidClientID, "android");
  EXPECT_EQ(options->databaseURL, "https://polls.dz.test");
  EXPECT_EQ(options->storageBucket, "polls.bucket");
  EXPECT_TRUE(options->isAnalyticsEnabled);
  EXPECT_FALSE(options->isMeasurementEnabled);
}

TEST(OptionsTest, ReadsABinaryPropertyList) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "API_KEY", plist_new_string("binary-key"));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &bytes, &length);
  plist_free(dict);
  ASSERT_NE(bytes, nullptr);
  auto options = Options::fromPropertyList(std::string_view(bytes, length));
  free(bytes);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->APIKey, "binary-key");
  EXPECT_FALSE(options->databaseURL);
}

TEST(OptionsTest, AbsentOrMistypedKeysReadAsAbsent) {
  auto options = Options::fromPropertyList(R"(<?xml version="1.0"?><plist version="1.0"><dict>
    <key>DATABASE_URL</key><integer>5</integer>
    <key>API_KEY</key><array/>
    <key>IS_ANALYTICS_ENABLED</key><string>YES</string>
  </dict></plist>)");
  ASSERT_TRUE(options);
  EXPECT_FALSE(options->databaseURL);
  EXPECT_EQ(options->APIKey, "");
  EXPECT_FALSE(options->isAnalyticsEnabled);
}

// A binary property list {"API_KEY": "k", "nested": [[[...]]]} with `depth` nested arrays.
std::string nestedBinaryPropertyList(uint32_t depth) {
  std::string bytes = "bplist00";
  std::vector<uint32_t> offsets;
  auto bigEndian = [&](uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  };
  auto object = [&] { offsets.push_back(static_cast<uint32_t>(bytes.size())); };
  object();  // 0: the dictionary, keys 1 and 3, values 2 and 4
  bytes.push_back(static_cast<char>(0xD2));
  for (uint32_t ref : {1, 3, 2, 4}) bigEndian(ref, 4);
  object();
  bytes +=
      "\x57"
      "API_KEY";
  object();
  bytes += "\x51k";
  object();
  bytes += "\x56nested";
  for (uint32_t level = 0; level < depth; ++level) {
    object();  // an array holding the next level; the last one is empty
    if (level + 1 == depth) {
      bytes.push_back(static_cast<char>(0xA0));
    } else {
      bytes.push_back(static_cast<char>(0xA1));
      bigEndian(5 + level, 4);
    }
  }
  const uint64_t table = bytes.size();
  for (uint32_t offset : offsets) bigEndian(offset, 4);
  bytes.append(6, '\0');
  bytes.push_back(4);  // offset width
  bytes.push_back(4);  // reference width
  bigEndian(offsets.size(), 8);
  bigEndian(0, 8);  // the top object
  bigEndian(table, 8);
  return bytes;
}

TEST(OptionsTest, DeeplyNestedContentIsRefusedBeforeItCanOverflowTheStack) {
  const std::string fits = nestedBinaryPropertyList(6000);
  ASSERT_LT(fits.size(), kMaxOptionsFileBytes);
  std::optional<Options> options = Options::fromPropertyList(fits);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->APIKey, "k");
  // Deep enough to overflow the parser's stack, were it parsed.
  EXPECT_FALSE(Options::fromPropertyList(nestedBinaryPropertyList(400000)));
  std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>A</key>";
  for (int i = 0; i < 2000000; ++i) xml += "<array>";
  EXPECT_FALSE(Options::fromPropertyList(xml));
}

TEST(OptionsTest, ContentThatIsNotADictionaryIsRefused) {
  EXPECT_FALSE(Options::fromPropertyList(""));
  EXPECT_FALSE(Options::fromPropertyList("not a property list at all"));
  EXPECT_FALSE(Options::fromPropertyList("bplist00 truncated"));
  EXPECT_FALSE(Options::fromPropertyList(
      R"(<?xml version="1.0"?><plist version="1.0"><array><string>x</string></array></plist>)"));
  EXPECT_FALSE(Options::fromFile("/nonexistent/VivuroService-Info.plist"));
}

// Points the main bundle at a folder of the test's own and back.
class ConfigureFromFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = platform::Bundle::main().resourcePath();
    resources_ = sandbox_.root() / "Resources";
    std::filesystem::create_directories(resources_);
    platform::Bundle::main().setResourcePath(resources_);
  }
  void TearDown() override {
    if (auto app = App::appNamed(kDefaultAppName)) app->deleteApp();
    platform::Bundle::main().setResourcePath(previous_);
  }

  testing::ScopedSandbox sandbox_;
  std::filesystem::path previous_;
  std::filesystem::path resources_;
};

TEST_F(ConfigureFromFileTest, WithoutAValidOptionsFileConfigureThrows) {
  for (std::string_view contents : {std::string_view(), std::string_view("garbage")}) {
    if (!contents.empty()) writeFile(resources_ / "VivuroService-Info.plist", contents);
    try {
      App::configure();
      FAIL() << "configure() accepted a missing or invalid options file";
    } catch (const Exception& e) {
      EXPECT_EQ(e.name(), kCoreExceptionName);
      EXPECT_EQ(e.reason(),
                "[DZApp configure] could not find a valid VivuroService-Info.plist in your "
                "project. Please download one from https://console.vivuro.com/.");
    }
  }
}

TEST_F(ConfigureFromFileTest, ConfiguresTheDefaultAppAndAnnouncesIt) {
  writeFile(resources_ / "VivuroService-Info.plist", kFullOptions);
  std::vector<platform::Notification> seen;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto token = center.addObserver(kAppReadyToConfigureSDKNotification, App::classIdentity(),
                                  nullptr, [&](const platform::Notification& n) {
                                    // The app is already registered when observers hear of it.
                                    EXPECT_NE(App::appNamed(kDefaultAppName), nullptr);
                                    seen.push_back(n);
                                  });
  App::configure();
  center.removeObserver(token);

  AppPtr app = App::defaultApp();
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->name(), "__DZAPP_DEFAULT");
  EXPECT_EQ(app->options().databaseURL, "https://polls.dz.test");
  EXPECT_EQ(app->options().APIKey, "key-xyz");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "DZAppReadyToConfigureSDKNotification");
  EXPECT_EQ(seen[0].sender, App::classIdentity());
  EXPECT_EQ(seen[0].userInfo, (Value::Map{{"DZAppNameKey", Value("__DZAPP_DEFAULT")},
                                          {"DZVivuroAppIDKey", Value("1:123:ios:abc")}}));
}

}  // namespace
}  // namespace dz::core
