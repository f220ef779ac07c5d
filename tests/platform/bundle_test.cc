#include "platform/bundle.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/sandbox.h"

namespace dz::platform {
namespace {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(resources()); }
  std::filesystem::path resources() const { return sandbox_.root() / "Resources"; }
  void write(const std::string& name, std::string_view text) {
    std::filesystem::create_directories((resources() / name).parent_path());
    std::ofstream(resources() / name) << text;
  }
  dz::testing::ScopedSandbox sandbox_;
};

TEST_F(BundleTest, FindsResourcesThatExistAndOnlyInsideItsFolder) {
  write("VivuroService-Info.plist", "<plist/>");
  write("ProgressHUD.bundle/info.png", "png");
  write("README", "text");
  std::filesystem::create_directories(sandbox_.root() / "outside");
  std::ofstream(sandbox_.root() / "secret.txt") << "x";
  Bundle bundle(resources());

  EXPECT_EQ(bundle.pathForResource("VivuroService-Info", "plist"),
            resources() / "VivuroService-Info.plist");
  EXPECT_EQ(bundle.pathForResource("ProgressHUD", "bundle"), resources() / "ProgressHUD.bundle");
  EXPECT_EQ(bundle.pathForResource("README", ""), resources() / "README");
  EXPECT_FALSE(bundle.pathForResource("Missing", "plist"));
  EXPECT_FALSE(bundle.pathForResource("../secret", "txt"));
  EXPECT_FALSE(bundle.pathForResource((sandbox_.root() / "secret").string(), "txt"));
  EXPECT_FALSE(bundle.pathForResource("", ""));

  Bundle inner(*bundle.pathForResource("ProgressHUD", "bundle"));
  EXPECT_TRUE(inner.pathForResource("info", "png"));
}

TEST_F(BundleTest, InfoValuesComeFromTheInfoFileWithDefaults) {
  Bundle plain(resources());
  EXPECT_EQ(plain.bundleIdentifier(), "com.dezuvura.app");
  EXPECT_EQ(plain.shortVersion(), "1.0");
  EXPECT_EQ(plain.build(), "1");
  EXPECT_TRUE(plain.objectForInfoDictionaryKey("TBUserAgentID").isNull());

  write("Info.json", R"({"CFBundleIdentifier": "org.example.poll",
      "CFBundleShortVersionString": "2.3", "CFBundleVersion": "45",
      "DezuvuraAppDelegateProxyEnabled": false})");
  plain.setResourcePath(resources());
  EXPECT_EQ(plain.bundleIdentifier(), "org.example.poll");
  EXPECT_EQ(plain.shortVersion(), "2.3");
  EXPECT_EQ(plain.build(), "45");
  EXPECT_EQ(plain.objectForInfoDictionaryKey("DezuvuraAppDelegateProxyEnabled"), Value(false));

  plain.setInfoValue(kBundleShortVersionKey, "9.9");
  EXPECT_EQ(plain.shortVersion(), "9.9");
  plain.setInfoValue(kBundleIdentifierKey, Value());
  EXPECT_EQ(plain.bundleIdentifier(), "com.dezuvura.app");
}

TEST_F(BundleTest, CorruptOrOddInfoFileFallsBackToDefaults) {
  for (std::string_view text : {"{\"CFBundleIdentifier\": ", "[1, 2]",
                                R"({"CFBundleIdentifier": 12, "CFBundleVersion": ""})"}) {
    write("Info.json", text);
    Bundle bundle(resources());
    EXPECT_EQ(bundle.bundleIdentifier(), "com.dezuvura.app") << text;
    EXPECT_EQ(bundle.build(), "1") << text;
  }
}

TEST_F(BundleTest, MainBundleCanBePointedAtAFolder) {
  Bundle& main = Bundle::main();
  EXPECT_EQ(&main, &Bundle::main());
  const std::filesystem::path previous = main.resourcePath();
  write("Info.json", R"({"CFBundleVersion": "7"})");
  main.setResourcePath(resources());
  EXPECT_EQ(main.build(), "7");
  main.setResourcePath(previous);
  EXPECT_EQ(main.resourcePath(), previous);
}

}  // namespace
}  // namespace dz::platform
